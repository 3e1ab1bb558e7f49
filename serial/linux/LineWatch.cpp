#include "serial/linux/LineWatch.h"

#include "serial/linux/ComDevice.h"
#include "serial/linux/LinuxSystem.h"

#include <algorithm>
#include <sys/ioctl.h>

using namespace std::chrono_literals;

namespace {

// How often lines without a wake-up of their own are looked at: modem lines, the kernel's
// counters, and input that a handler left unread.
constexpr int kSampleMs = 10;

bool WatchesModem(std::uint32_t mask) { return mask & ComEvent::ModemLines; }
bool WatchesCounters(std::uint32_t mask)
{
    return mask & (ComEvent::ModemLines | ComEvent::LineCounters);
}

} // namespace

int LineWatch::Fail(int result, const char* operation)
{
    failed_ = operation;
    return result;
}

int LineWatch::Begin(std::uint32_t before, std::uint32_t now)
{
    if (WatchesModem(now) && !WatchesModem(before) && modemLines_) {
        const int result = system_.Ioctl(fd_, TIOCMGET, &modem_);
        if (ComDevice::Unsupported(result))
            modemLines_ = false;
        else if (result < 0)
            return Fail(result, "TIOCMGET");
    }
    if (WatchesCounters(now) && !WatchesCounters(before) && counters_) {
        const int result = ReadLineCounts(system_, fd_, counts_);
        if (ComDevice::Unsupported(result))
            counters_ = false;
        else if (result < 0)
            return Fail(result, "TIOCGICOUNT");
    }
    return 0;
}

void LineWatch::ExpectDrain(Clock::time_point drainedBy, std::chrono::nanoseconds perByte)
{
    nextTxLook_ = drainedBy;
    perByte_ = perByte;
}

int LineWatch::WaitMs(std::uint32_t mask, bool txDue) const
{
    int timeout = -1;
    if ((WatchesModem(mask) && modemLines_) || (WatchesCounters(mask) && counters_) ||
        ((mask & ComEvent::RxChar) && rxSampling_))
        timeout = kSampleMs;
    if (txDue) {
        // Until the queue should have drained: no look before, however long that is.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(nextTxLook_ - Clock::now());
        const int txMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        timeout = timeout < 0 ? txMs : std::min(timeout, txMs);
    }
    if ((mask & ComEvent::RxChar) && rxPending_)
        timeout = 0;
    return timeout;
}

bool LineWatch::WaitsForInput(std::uint32_t mask) const
{
    return (mask & ComEvent::RxChar) && !rxSampling_;
}

int LineWatch::Sample(std::uint32_t mask, bool txDue, std::uint64_t bytesRead,
                      std::uint32_t& found)
{
    if (const int result = SampleModem(mask, found); result < 0)
        return result;
    if (mask & ComEvent::RxChar) {
        if (const int result = SampleInput(bytesRead, found); result < 0)
            return result;
    }
    // Whenever the thread looks anyway, the output queue is looked at too, so that what one
    // wait finds is delivered together.
    if (txDue)
        return SampleOutput(found);
    return 0;
}

int LineWatch::SampleModem(std::uint32_t mask, std::uint32_t& found)
{
    // Levels and counters both: the counters catch pulses shorter than a sample, the levels
    // cover drivers that do not count modem changes.
    if (WatchesModem(mask) && modemLines_) {
        int now = 0;
        const int result = system_.Ioctl(fd_, TIOCMGET, &now);
        if (ComDevice::Unsupported(result)) {
            modemLines_ = false;
        } else if (result < 0) {
            return Fail(result, "TIOCMGET");
        } else {
            found |= ModemLevelEvents(modem_, now);
            modem_ = now;
        }
    }
    if (WatchesCounters(mask) && counters_) {
        LineCounts now;
        const int result = ReadLineCounts(system_, fd_, now);
        if (ComDevice::Unsupported(result)) {
            counters_ = false;
        } else if (result < 0) {
            return Fail(result, "TIOCGICOUNT");
        } else {
            if (WatchesModem(mask))
                found |= ModemCountEvents(counts_, now);
            const TLineErrors errors = ChangedErrors(counts_, now);
            if (errors[leBreak])
                found |= ComEvent::Break;
            if ((errors & ~TLineErrors().set(leBreak)).any())
                found |= ComEvent::Err;
            counts_ = now;
        }
    }
    return 0;
}

int LineWatch::SampleInput(std::uint64_t bytesRead, std::uint32_t& found)
{
    // The read count is taken first (by the caller): a read racing with FIONREAD can then only
    // make a byte look new twice, never make a new byte look old.
    int queued = 0;
    if (const int result = system_.Ioctl(fd_, FIONREAD, &queued); result < 0)
        return Fail(result, "FIONREAD");
    ForgetRead(bytesRead);
    if (queued > rxSeen_)
        found |= ComEvent::RxChar;
    rxSeen_ = queued;
    rxSampling_ = queued > 0;
    rxPending_ = false;
    return 0;
}

int LineWatch::SampleOutput(std::uint32_t& found)
{
    int queued = 0;
    const int result = system_.Ioctl(fd_, TIOCOUTQ, &queued);
    if (result < 0 && !ComDevice::Unsupported(result))
        return Fail(result, "TIOCOUTQ");
    if (result >= 0 && queued > 0) {
        // Not yet: look again when the bytes still queued should have left.
        nextTxLook_ = Clock::now() + std::max<std::chrono::nanoseconds>(perByte_ * queued, 1ms);
        return 0;
    }
    if (transmitter_) {
        // The UART's shift register, where the driver can tell: one more frame at most.
        unsigned int status = 0;
        const int lsr = system_.Ioctl(fd_, TIOCSERGETLSR, &status);
        if (ComDevice::Unsupported(lsr)) {
            transmitter_ = false;
        } else if (lsr < 0) {
            return Fail(lsr, "TIOCSERGETLSR");
        } else if (!(status & TIOCSER_TEMT)) {
            nextTxLook_ = Clock::now() + std::max<std::chrono::nanoseconds>(perByte_, 1ms);
            return 0;
        }
    }
    found |= ComEvent::TxEmpty;
    return 0;
}

void LineWatch::AfterReceive(std::uint64_t bytesRead)
{
    int queued = 0;
    if (system_.Ioctl(fd_, FIONREAD, &queued) < 0)
        queued = 0;
    ForgetRead(bytesRead);
    rxSampling_ = queued > 0;
    rxPending_ = queued > rxSeen_;
}

void LineWatch::ForgetRead(std::uint64_t read)
{
    rxSeen_ = static_cast<int>(
        std::max<long long>(0, rxSeen_ - static_cast<long long>(read - readSeen_)));
    readSeen_ = read;
}
