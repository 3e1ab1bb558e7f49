#include "os/win32/TimerCalls.h"

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10, version 1803), not yet in every SDK.
constexpr DWORD kHighResolution = 0x00000002;

class NativeTimerCalls : public TimerCalls {
public:
    HANDLE CreateTimer(bool highResolution) override
    {
        return ::CreateWaitableTimerExW(nullptr, nullptr, highResolution ? kHighResolution : 0,
                                        TIMER_ALL_ACCESS);
    }

    void CloseTimer(HANDLE timer) override { ::CloseHandle(timer); }

    DWORD SetTimer(HANDLE timer, LONGLONG due, LONG periodMs) override
    {
        LARGE_INTEGER when;
        when.QuadPart = due;
        return ::SetWaitableTimer(timer, &when, periodMs, nullptr, nullptr, FALSE)
                   ? ERROR_SUCCESS
                   : ::GetLastError();
    }

    void CancelTimer(HANDLE timer) override { ::CancelWaitableTimer(timer); }

    bool BeginFinerTicks() override { return ::timeBeginPeriod(1) == TIMERR_NOERROR; }
    void EndFinerTicks() override { ::timeEndPeriod(1); }
};

} // namespace

std::shared_ptr<TimerCalls> TimerCalls::Native() { return std::make_shared<NativeTimerCalls>(); }
