#include "ScriptedTimer.h"

ScriptedTimer::ScriptedTimer(Build build) : build_(build)
{
    thread_ = std::thread([this] { Run(); });
}

ScriptedTimer::~ScriptedTimer()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (const auto& [handle, timer] : timers_)
        ::CloseHandle(handle);
}

int ScriptedTimer::FinerTicksHeld() const
{
    std::lock_guard lock(mutex_);
    return finerTicks_;
}

HANDLE ScriptedTimer::CreateTimer(bool highResolution)
{
    if (highResolution && build_ == Build::Before1803)
        return nullptr;
    // Auto-reset, as a synchronization timer: one wait takes one expiry.
    const HANDLE event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::lock_guard lock(mutex_);
    timers_[event].highResolution = highResolution;
    return event;
}

void ScriptedTimer::CloseTimer(HANDLE timer)
{
    std::lock_guard lock(mutex_);
    if (timers_.erase(timer))
        ::CloseHandle(timer);
}

DWORD ScriptedTimer::SetTimer(HANDLE timer, LONGLONG due, LONG periodMs)
{
    std::lock_guard lock(mutex_);
    const auto found = timers_.find(timer);
    if (found == timers_.end() || due >= 0 || periodMs < 0)
        return ERROR_INVALID_PARAMETER; // absolute due times are the wall clock's: not scripted
    if (found->second.highResolution && periodMs > 0 && build_ == Build::Windows1809)
        return ERROR_INVALID_PARAMETER;
    found->second.due = Clock::now() + std::chrono::nanoseconds(-due * 100);
    found->second.period = std::chrono::milliseconds(periodMs);
    changed_.notify_all();
    return ERROR_SUCCESS;
}

void ScriptedTimer::CancelTimer(HANDLE timer)
{
    std::lock_guard lock(mutex_);
    if (const auto found = timers_.find(timer); found != timers_.end())
        found->second.due = kNever;
}

bool ScriptedTimer::BeginFinerTicks()
{
    std::lock_guard lock(mutex_);
    ++finerTicks_;
    return true;
}

void ScriptedTimer::EndFinerTicks()
{
    std::lock_guard lock(mutex_);
    --finerTicks_;
}

void ScriptedTimer::Run()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        Clock::time_point next = kNever;
        for (const auto& [handle, timer] : timers_)
            next = std::min(next, timer.due);
        if (next == kNever)
            changed_.wait(lock);
        else
            changed_.wait_until(lock, next);
        const auto now = Clock::now();
        for (auto& [handle, timer] : timers_) {
            if (timer.due > now)
                continue;
            // Expiries nobody took leave the timer signalled, once.
            ::SetEvent(handle);
            timer.due = timer.period.count() ? timer.due + timer.period : kNever;
        }
    }
}
