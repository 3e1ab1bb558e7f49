#include "serial/linux/LineCounters.h"

#include "serial/linux/LinuxSystem.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

int ReadLineCounts(LinuxSystem& system, int fd, LineCounts& counts)
{
    serial_icounter_struct now{};
    const int result = system.Ioctl(fd, TIOCGICOUNT, &now);
    if (result >= 0) {
        counts.errors = {now.brk, now.frame, now.overrun, now.parity, now.buf_overrun};
        counts.modem = {now.cts, now.dsr, now.rng, now.dcd};
    }
    return result;
}

TLineErrors ChangedErrors(const LineCounts& before, const LineCounts& now)
{
    TLineErrors changed;
    for (std::size_t i = 0; i < now.errors.size(); ++i)
        changed[i] = now.errors[i] != before.errors[i];
    return changed;
}

namespace {
constexpr std::array<std::uint32_t, 4> kModemEvents = {ComEvent::CTS, ComEvent::DSR, ComEvent::Ring,
                                                       ComEvent::RLSD};
} // namespace

std::uint32_t ModemCountEvents(const LineCounts& before, const LineCounts& now)
{
    std::uint32_t events = 0;
    for (std::size_t i = 0; i < now.modem.size(); ++i) {
        if (now.modem[i] != before.modem[i])
            events |= kModemEvents[i];
    }
    return events;
}

std::uint32_t ModemLevelEvents(int before, int now)
{
    constexpr std::array<int, 4> kLines = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CAR};
    std::uint32_t events = 0;
    for (std::size_t i = 0; i < kLines.size(); ++i) {
        if ((before ^ now) & kLines[i])
            events |= kModemEvents[i];
    }
    return events;
}
