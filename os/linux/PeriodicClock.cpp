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

PeriodicClock::PeriodicClock(std::shared_ptr<TimerCalls>)
{
    const int descriptor = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (descriptor >= 0)
        watched_ = descriptor;
    highResolution_ = true;
}

PeriodicClock::~PeriodicClock()
{
    if (Valid())
        ::close(static_cast<int>(watched_));
}

bool PeriodicClock::Arm(int intervalMs)
{
    // Relative to now, then every interval after that first deadline: an absolute schedule.
    // A zero interval would disarm the kernel timer; one nanosecond stands for "at once".
    const timespec period = intervalMs > 0 ? Milliseconds(intervalMs) : timespec{0, 1};
    const itimerspec schedule{period, period};
    if (::timerfd_settime(static_cast<int>(watched_), 0, &schedule, nullptr) != 0)
        return false;
    state_ = State::Armed;
    return true;
}

void PeriodicClock::Disarm()
{
    // Disarming also forgets deadlines that passed unread.
    const itimerspec disarmed{};
    ::timerfd_settime(static_cast<int>(watched_), 0, &disarmed, nullptr);
    state_ = State::Disarmed;
}

bool PeriodicClock::Expired()
{
    // However many deadlines passed, the count comes in one read.
    std::uint64_t expired = 0;
    return state_ != State::Disarmed && ::read(static_cast<int>(watched_), &expired, sizeof expired) == sizeof expired;
}
