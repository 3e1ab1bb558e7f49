#pragma once
// The event thread of an open port on Windows: waits in WaitCommEvent for the events of its
// mask, or until it is woken to take a new mask or priority or to end, and hands each finding
// to the user-interface thread. A device that refuses to wait for events (a pseudo-terminal
// under wine has no modem lines to watch) is sampled instead: the queues every 10 ms.
//
// A pending wait is ended by a new mask, the documented way, and only then cancelled: drivers
// whose device has gone do not always honour a cancel. A wait that outlives both is given up
// (its record stays allocated), so that the thread always ends within a bound.

#include "serial/ComLine.h"
#include "serial/EventHandOver.h"
#include "serial/win32/CommApi.h"
#include "serial/win32/WinHandle.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

// What the line and its event thread both look at.
struct LineState {
    std::shared_ptr<CommApi> api;
    HANDLE device = nullptr;
    // Signalled while no write is in progress.
    std::atomic<HANDLE> writeDone{nullptr};
    // Counts writes started, so that a sampled line can tell a drained queue is news.
    std::atomic<unsigned> writesStarted{0};
    // Line errors (CE_ bits) that sampling cleared, for the line to report.
    std::atomic<DWORD> errorsTaken{0};
};

class Win32EventThread {
public:
    // Call on the user-interface thread; null when no thread can be made.
    static std::unique_ptr<Win32EventThread> Start(std::shared_ptr<LineState> line,
                                                 const ComLine::EventSettings& settings,
                                                 ComLine::EventReports reports);
    ~Win32EventThread();
    Win32EventThread(const Win32EventThread&) = delete;
    Win32EventThread& operator=(const Win32EventThread&) = delete;

    void SetMask(std::uint32_t mask);
    void SetPriority(TThreadPriority priority);
    // The line has found the device gone: the thread reports it (the first of them, once) and
    // ends.
    void Lost(DWORD error, const char* operation);

private:
    // A wait's record and what it found.
    struct PendingWait {
        OVERLAPPED overlapped{};
        DWORD events = 0;
        WinHandle done = NewEvent(true, false);
    };

    Win32EventThread(std::shared_ptr<LineState> line, const ComLine::EventSettings& settings,
                   ComLine::EventReports reports);
    void Run();
    // One turn of waiting in WaitCommEvent; false once the thread is to end.
    bool Wait(bool& sampling);
    // A wait that ended with events, or with an error; false once the thread is to end.
    bool Found(DWORD events);
    bool Ended(DWORD error, bool& sampling);
    // Ends the pending wait, within a bound, setting `mask` to end it.
    void EndWait(std::uint32_t mask);
    // One look at the queues of a line that cannot wait for events; false once it is to end.
    bool Sample();
    void Dispatch(std::uint32_t events);
    void Fail(DWORD error, const char* operation);
    void ApplyPriority();

    std::shared_ptr<LineState> line_;
    const bool synchronize_;
    ComLine::EventReports reports_;
    std::atomic<std::uint32_t> mask_;
    std::atomic<TThreadPriority> priority_;
    std::atomic<bool> terminate_{false};
    std::mutex lostMutex_;
    DWORD lost_ = 0;
    const char* lostOperation_ = "";
    std::atomic<bool> anyLost_{false};
    WinHandle wake_; // automatic reset: a new mask or priority, a lost device, or the end
    std::unique_ptr<PendingWait> wait_;
    bool pending_ = false;
    EventHandOver handOver_;
    std::uint32_t maskSet_ = 0;
    bool waited_ = false; // a wait has completed: the device can wait for events
    int aborts_ = 0;      // waits in a row that ended aborted though nobody cancelled them
    DWORD lastInput_ = 0;
    unsigned writesSeen_ = 0;
    std::thread thread_;
};
