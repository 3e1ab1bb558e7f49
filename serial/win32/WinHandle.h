#pragma once
// Owns one kernel object handle (a device, an event) and closes it when dropped.

#include <windows.h>

#include <utility>

class WinHandle {
public:
    WinHandle() = default;
    // Takes over a handle as CreateFile or CreateEvent return it: either failure value is none.
    explicit WinHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~WinHandle() { reset(); }
    WinHandle(WinHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    WinHandle& operator=(WinHandle&& other) noexcept
    {
        reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr)
    {
        if (handle_)
            ::CloseHandle(handle_);
        handle_ = handle;
    }
    // Gives the handle up unclosed.
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_ = nullptr;
};

// A new event object; manualReset as CreateEvent has it.
inline WinHandle NewEvent(bool manualReset, bool signalled)
{
    return WinHandle(::CreateEventW(nullptr, manualReset, signalled, nullptr));
}
