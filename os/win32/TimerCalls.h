#pragma once
// The Win32 calls behind a PeriodicClock, behind one class so that tests can script what
// Windows builds do and wine cannot show (the 1809 high-resolution timer that refuses a period).
// Timer handles are real objects that can be waited on: a scripted timer is an event its own
// thread signals.

#include <windows.h>

#include <memory>

class TimerCalls {
public:
    virtual ~TimerCalls() = default;

    // The calls of the system the program runs on.
    static std::shared_ptr<TimerCalls> Native();

    // CreateWaitableTimerExW of an auto-reset timer, of high resolution if asked; null when
    // refused.
    virtual HANDLE CreateTimer(bool highResolution) = 0;
    virtual void CloseTimer(HANDLE timer) = 0;
    // SetWaitableTimer: a due time in 100 ns units (negative: from now) and a period in
    // milliseconds (0: once). Returns ERROR_SUCCESS or why it refused.
    virtual DWORD SetTimer(HANDLE timer, LONGLONG due, LONG periodMs) = 0;
    virtual void CancelTimer(HANDLE timer) = 0;
    // timeBeginPeriod(1) and timeEndPeriod(1): the system's timer tick at a millisecond.
    virtual bool BeginFinerTicks() = 0;
    virtual void EndFinerTicks() = 0;
};
