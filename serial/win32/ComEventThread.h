#pragma once
// The event thread of an open port on Windows: waits in WaitCommEvent for the events of its
// mask, or until it is woken to take a new mask or priority or to end, and hands each finding
// to the user-interface thread. A device that refuses to wait for events (a pseudo-terminal
// under wine has no modem lines to watch) is sampled instead: the queues every 10 ms.

#include "serial/ComLine.h"
#include "serial/EventHandOver.h"
#include "serial/win32/CommApi.h"
#include "serial/win32/WinHandle.h"

#include <atomic>
#include <memory>
#include <thread>

// What the line and its event thread both look at.
struct LineState {
    std::shared_ptr<CommApi> api;
    HANDLE device = nullptr;
    // Signalled while no write is in progress.
    HANDLE writeDone = nullptr;
    // Counts writes started, so that a sampled line can tell a drained queue is news.
    std::atomic<unsigned> writesStarted{0};
    // Line errors (CE_ bits) that sampling cleared, for the line to report.
    std::atomic<DWORD> errorsTaken{0};
};

class ComEventThread {
public:
    // Call on the user-interface thread; null when no thread can be made.
    static std::unique_ptr<ComEventThread> Start(std::shared_ptr<LineState> line,
                                                 const ComLine::EventSettings& settings,
                                                 ComLine::EventReports reports);
    ~ComEventThread();
    ComEventThread(const ComEventThread&) = delete;
    ComEventThread& operator=(const ComEventThread&) = delete;

    void SetMask(std::uint32_t mask);
    void SetPriority(TThreadPriority priority);

private:
    ComEventThread(std::shared_ptr<LineState> line, const ComLine::EventSettings& settings,
                   ComLine::EventReports reports);
    void Run();
    // One wait in WaitCommEvent; false once the thread is to end.
    bool Wait(bool& refused);
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
    WinHandle wake_;      // automatic reset: a new mask or priority, or the end
    WinHandle waitDone_;  // the overlapped wait's own event
    EventHandOver handOver_;
    std::uint32_t maskSet_ = 0;
    bool waited_ = false; // a wait has completed: the device can wait for events
    DWORD lastInput_ = 0;
    unsigned writesSeen_ = 0;
    std::thread thread_;
};
