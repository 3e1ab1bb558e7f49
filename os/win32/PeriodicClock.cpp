#include "os/PeriodicClock.h"

#include "os/win32/TimerCalls.h"

#include <windows.h>

// A waitable timer of high resolution: expiries on time to well under a millisecond, however the
// window is shown. Qt's precise timers and an ordinary waitable timer wake on the system's timer
// tick, which Windows lets slip to 15.6 ms for a minimised or covered window: at 19200 baud a
// line is due every 13 ms.
//
// The timer is set once at a time, for the next deadline of the schedule, and set again each time
// it is read: Windows 10 1809 (LTSC 2019) refuses a period on a high-resolution timer, and no
// build documents whether a period keeps high resolution. Each deadline comes from the first
// one, so the schedule keeps its phase however late a deadline is read.

namespace {

using Clock = std::chrono::steady_clock;

// How early a timer may signal by this clock (at most a quarter interval is allowed for): the system keeps its timers on a clock of its own
// (wine's server on a time it reads once per turn).
constexpr std::chrono::milliseconds kEarly{1};

HANDLE Timer(std::intptr_t watched)
{
    return reinterpret_cast<HANDLE>(watched);
}

// Windows 11 may coarsen the timers of a process whose window is not seen, unless the process
// asks to keep the resolution it requested. Older systems refuse the request and never coarsen.
void KeepTimerResolutionWhenHidden()
{
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;
    ::SetProcessInformation(::GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

// A relative due time, in the timer's 100 ns units, for a deadline on the steady clock: an
// absolute one would be the wall clock's and move with every change of the system time.
LONGLONG DueIn(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    return -std::max<LONGLONG>(1, left.count() / 100);
}

// A timer that takes a deadline: refused, it is no use (a build that does not know the flag,
// or one that refuses what is asked of it).
HANDLE UsableTimer(TimerCalls& calls, bool highResolution)
{
    const HANDLE timer = calls.CreateTimer(highResolution);
    if (!timer)
        return nullptr;
    const bool takes = calls.SetTimer(timer, DueIn(Clock::now() + std::chrono::hours(1)), 0) ==
                       ERROR_SUCCESS;
    calls.CancelTimer(timer);
    if (takes)
        return timer;
    calls.CloseTimer(timer);
    return nullptr;
}

} // namespace

PeriodicClock::PeriodicClock(std::shared_ptr<TimerCalls> calls)
    : calls_(calls ? std::move(calls) : TimerCalls::Native())
{
    KeepTimerResolutionWhenHidden();
    // Auto-reset: the watch that sees an expiry takes it. Without high resolution, an ordinary
    // timer on a finer system tick; without any, none.
    HANDLE timer = UsableTimer(*calls_, true);
    highResolution_ = timer != nullptr;
    if (!timer)
        timer = UsableTimer(*calls_, false);
    if (timer)
        watched_ = reinterpret_cast<std::intptr_t>(timer);
}

PeriodicClock::~PeriodicClock()
{
    if (!Valid())
        return;
    Disarm();
    calls_->CloseTimer(Timer(watched_));
}

bool PeriodicClock::Arm(int intervalMs)
{
    Disarm();
    if (!Valid())
        return false;
    intervalMs_ = std::max(0, intervalMs);
    next_ = Clock::now() + std::chrono::milliseconds(intervalMs_);
    if (calls_->SetTimer(Timer(watched_), DueIn(next_), 0) != ERROR_SUCCESS)
        return false;
    state_ = State::Armed;
    // Without high resolution the timer keeps the system's tick: make it a millisecond while
    // the clock runs.
    if (!highResolution_ && calls_->BeginFinerTicks())
        state_ = State::ArmedOnFinerSystemTicks;
    return true;
}

void PeriodicClock::Disarm()
{
    if (!Valid() || state_ == State::Disarmed)
        return;
    calls_->CancelTimer(Timer(watched_));
    if (state_ == State::ArmedOnFinerSystemTicks)
        calls_->EndFinerTicks();
    state_ = State::Disarmed;
    // An expiry nobody took yet is forgotten: a zero wait on an auto-reset timer takes it.
    ::WaitForSingleObject(Timer(watched_), 0);
}

bool PeriodicClock::Expired()
{
    if (state_ == State::Disarmed)
        return false;
    // The watch took the expiry it saw; an expiry since, while the thread was busy, is taken
    // here, or the watch would see it the moment it looks again: two ticks back to back.
    ::WaitForSingleObject(Timer(watched_), 0);
    const auto now = Clock::now();
    const auto interval = std::chrono::milliseconds(intervalMs_);
    const auto early = std::min<std::chrono::nanoseconds>(kEarly, interval / 4);
    const bool expired = now + early >= next_;
    if (expired) {
        // The next deadline of the schedule, at least half an interval away: a deadline read late
        // makes one expiry, and the one after it is never right behind it.
        next_ += interval * ((now - next_) / std::max(interval, std::chrono::milliseconds(1)) + 1);
        if (next_ - now < interval / 2 + early)
            next_ += interval;
        if (intervalMs_ == 0)
            next_ = now;
    }
    // A sign before the deadline (an expiry that came before a new arming) sets it again.
    if (calls_->SetTimer(Timer(watched_), DueIn(next_), 0) != ERROR_SUCCESS)
        Disarm(); // the owner needs a timer of its own from now on
    return expired;
}
