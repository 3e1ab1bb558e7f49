// Before windows.h, whose "interface" macro would rename a member of ComNames::Device.
#include "os/ComNames.h"

#include "serial/win32/Win32Line.h"
#include "serial/win32/Win32System.h"
#include "serial/win32/WinHandle.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// An open handed to a thread of its own, which the caller may stop waiting for.
struct PendingOpen {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool abandoned = false;
    DWORD error = ERROR_SUCCESS;
    HANDLE device = INVALID_HANDLE_VALUE;
    WinHandle opener; // the thread that opens, for a cancel
};

// A handle of the calling thread that other threads can use (GetCurrentThread's is its own).
WinHandle ThisThread()
{
    HANDLE thread = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
    return WinHandle(thread);
}

} // namespace

std::unique_ptr<ComLine> Win32System::OpenLine(const std::string& name)
{
    // "\\.\COMn" opens every COM number, the ones from 10 on too; other names are the system's
    // own.
    const int number = ComNames::Number(name);
    const std::string path = number ? "\\\\.\\COM" + std::to_string(number) : name;
    // Opening an outgoing Bluetooth port first connects to the far device, which takes seconds
    // (or ten and more when it is off), and the window's thread is the one that opens. The open
    // runs on a thread of its own; one that ends too late closes what it got.
    auto pending = std::make_shared<PendingOpen>();
    std::thread opener([api = api_, path, pending] {
        {
            const std::lock_guard lock(pending->mutex);
            if (pending->abandoned)
                return;
            pending->opener = ThisThread();
        }
        HANDLE device = INVALID_HANDLE_VALUE;
        const DWORD error = api->OpenDevice(path, device);
        const std::lock_guard lock(pending->mutex);
        if (pending->abandoned) {
            if (error == ERROR_SUCCESS)
                api->CloseHandle(device);
            return;
        }
        pending->done = true;
        pending->error = error;
        pending->device = device;
        pending->ended.notify_all();
    });
    std::unique_lock lock(pending->mutex);
    if (!pending->ended.wait_for(lock, kOpenWithin, [&] { return pending->done; })) {
        pending->abandoned = true;
        // The documented end of an open blocked on a slow device, so that the program can
        // exit; a driver that ignores it answers in its own time, and what it opened then is
        // closed.
        if (pending->opener.valid())
            api_->CancelSynchronousIo(pending->opener.get());
        lock.unlock();
        opener.detach();
        // Windows' own number for a Bluetooth port whose far device did not answer.
        throw ComLine::Failure{ERROR_SEM_TIMEOUT, ekTimedOut, "CreateFile"};
    }
    lock.unlock();
    opener.join();
    if (pending->error != ERROR_SUCCESS)
        throw ComLine::Failure{static_cast<int>(pending->error),
                               Win32Line::OpeningKindOf(pending->error), "CreateFile"};
    return std::make_unique<Win32Line>(api_, pending->device);
}

std::shared_ptr<ComSystem> ComSystem::Native(ComNames names)
{
    return std::make_shared<Win32System>(std::move(names), CommApi::Native());
}
