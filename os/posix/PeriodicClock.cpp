#include "os/PeriodicClock.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace {

timespec Milliseconds(int ms)
{
    return {ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L};
}

} // namespace

PeriodicClock::PeriodicClock()
    : descriptor_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
}

PeriodicClock::~PeriodicClock()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
}

void PeriodicClock::Arm(int intervalMs)
{
    // Relative to now, then every interval after that first deadline: an absolute schedule.
    // A zero interval would disarm the kernel timer; one nanosecond stands for "at once".
    const timespec period = intervalMs > 0 ? Milliseconds(intervalMs) : timespec{0, 1};
    const itimerspec schedule{period, period};
    ::timerfd_settime(descriptor_, 0, &schedule, nullptr);
}

void PeriodicClock::Disarm()
{
    // Disarming also forgets deadlines that passed unread.
    const itimerspec disarmed{};
    ::timerfd_settime(descriptor_, 0, &disarmed, nullptr);
}

bool PeriodicClock::Expired()
{
    // However many deadlines passed, the count comes in one read.
    std::uint64_t expired = 0;
    return ::read(descriptor_, &expired, sizeof expired) == sizeof expired;
}
