#include "os/PeriodicClock.h"

#include <windows.h>

// A waitable timer of high resolution: expiries on time to well under a millisecond, however the
// window is shown. Qt's precise timers and an ordinary waitable timer wake on the system's timer
// tick, which Windows lets slip to 15.6 ms for a minimised or covered window: at 19200 baud a
// line is due every 13 ms.

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10, version 1803), not yet in every SDK.
constexpr DWORD kHighResolution = 0x00000002;

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

} // namespace

PeriodicClock::PeriodicClock()
{
    KeepTimerResolutionWhenHidden();
    // Auto-reset: the watch that sees an expiry takes it, and expiries nobody saw make one.
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolution, TIMER_ALL_ACCESS);
    highResolution_ = timer != nullptr;
    if (!timer)
        timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer)
        watched_ = reinterpret_cast<std::intptr_t>(timer);
}

PeriodicClock::~PeriodicClock()
{
    if (!Valid())
        return;
    Disarm();
    ::CloseHandle(Timer(watched_));
}

void PeriodicClock::Arm(int intervalMs)
{
    if (!Valid())
        return;
    Disarm();
    // A negative due time counts from now, in 100 ns units; the period, in milliseconds, then
    // keeps the first deadline's phase. "At once" is the shortest due time and period there are.
    LARGE_INTEGER due;
    due.QuadPart = intervalMs > 0 ? -10'000LL * intervalMs : -1;
    const LONG period = intervalMs > 0 ? intervalMs : 1;
    if (!::SetWaitableTimer(Timer(watched_), &due, period, nullptr, nullptr, FALSE))
        return;
    state_ = State::Armed;
    // Without high resolution the timer keeps the system's tick: make it a millisecond while
    // the clock runs.
    if (!highResolution_ && ::timeBeginPeriod(1) == TIMERR_NOERROR)
        state_ = State::ArmedOnFinerSystemTicks;
}

void PeriodicClock::Disarm()
{
    if (!Valid() || state_ == State::Disarmed)
        return;
    ::CancelWaitableTimer(Timer(watched_));
    if (state_ == State::ArmedOnFinerSystemTicks)
        ::timeEndPeriod(1);
    state_ = State::Disarmed;
    // An expiry nobody took yet is forgotten: a zero wait on an auto-reset timer takes it.
    ::WaitForSingleObject(Timer(watched_), 0);
}

bool PeriodicClock::Expired()
{
    // The watch took the expiry when it saw the timer signalled: whatever it reports while the
    // clock is armed is a deadline that passed.
    return state_ != State::Disarmed;
}
