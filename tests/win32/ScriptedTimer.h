#pragma once
// Waitable timers as Windows builds answer them, scripted: each timer is an auto-reset event that
// a thread of the script signals at its due time, and again every period (the
// CreateWaitableTimerExW page: without CREATE_WAITABLE_TIMER_MANUAL_RESET a synchronization timer,
// which one satisfied wait resets; SetWaitableTimer: signalled again every period). A build can refuse
// what Windows 10 1809 refuses, or not know the high-resolution flag at all.

#include "os/win32/TimerCalls.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

class ScriptedTimer : public TimerCalls {
public:
    using Clock = std::chrono::steady_clock;
    enum class Build {
        Current,
        // Windows 10 1809 (build 17763, LTSC 2019): SetWaitableTimer on a high-resolution timer
        // fails with ERROR_INVALID_PARAMETER when the period is above zero (python-can #1654 and
        // #1695, asio #1404).
        Windows1809,
        // Before Windows 10 1803: CreateWaitableTimerExW refuses the flag it does not know
        // (Microsoft's CreateWaitableTimerExW page: CREATE_WAITABLE_TIMER_HIGH_RESOLUTION).
        Before1803,
    };

    explicit ScriptedTimer(Build build);
    ~ScriptedTimer() override;

    // How many timeBeginPeriod(1) are held.
    int FinerTicksHeld() const;

    HANDLE CreateTimer(bool highResolution) override;
    void CloseTimer(HANDLE timer) override;
    DWORD SetTimer(HANDLE timer, LONGLONG due, LONG periodMs) override;
    void CancelTimer(HANDLE timer) override;
    bool BeginFinerTicks() override;
    void EndFinerTicks() override;

private:
    static constexpr Clock::time_point kNever = Clock::time_point::max();
    struct Timer {
        bool highResolution = false;
        Clock::time_point due = kNever;
        std::chrono::milliseconds period{0};
    };
    void Run();

    const Build build_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    std::map<HANDLE, Timer> timers_;
    int finerTicks_ = 0;
    std::thread thread_;
};
