#pragma once
// The event thread of an open port on Windows: waits in WaitCommEvent for the events of its
// mask, or until it is woken to take a new mask or priority or to end, and hands each finding
// to the user-interface thread. A device that has never waited for events (a pseudo-terminal
// under wine has no modem lines to watch) is sampled instead: the queues and the modem lines
// every 10 ms.
//
// A pending wait is ended by a new mask, the documented way, and only then cancelled: drivers
// whose device has gone do not always honour a cancel. A wait that outlives both is given up
// (its record stays allocated). Windows cancels a thread's I/O when the thread ends and holds
// the thread until the driver lets go, up to minutes: a thread that gave up a wait is left to
// end on its own, never joined, and what it uses lives as long as it does.

#include "serial/ComLine.h"
#include "serial/EventHandOver.h"
#include "serial/win32/CommApi.h"

#include <atomic>
#include <memory>
#include <thread>

// What the line and its event threads all look at.
struct LineState {
    std::shared_ptr<CommApi> api;
    HANDLE device = nullptr;
    // Signalled while no write is in progress.
    std::atomic<HANDLE> writeDone{nullptr};
    // Counts writes started, so that a sampled line can tell a drained queue is news.
    std::atomic<unsigned> writesStarted{0};
    // Line errors (CE_ bits) that sampling cleared, for the line to report.
    std::atomic<DWORD> errorsTaken{0};
    // A wait has ended with events: the device can wait for them.
    std::atomic<bool> waitsWork{false};
    // The event of a wait given up and perhaps still pending at the driver (which refuses a new
    // wait meanwhile); its record and event are never freed.
    std::atomic<HANDLE> waitGivenUp{nullptr};
};

class Win32EventThread {
public:
    // Call on the user-interface thread; null when no thread can be made.
    static std::unique_ptr<Win32EventThread> Start(std::shared_ptr<LineState> line,
                                                 const ComLine::EventSettings& settings,
                                                 ComLine::EventReports reports);
    // Ends the thread: joined when it has ended within a bound, else left to end on its own.
    ~Win32EventThread();
    Win32EventThread(const Win32EventThread&) = delete;
    Win32EventThread& operator=(const Win32EventThread&) = delete;

    void SetMask(std::uint32_t mask);
    void SetPriority(TThreadPriority priority);
    // The line has found the device gone: the thread reports it (the first of them, once) and
    // ends.
    void Lost(DWORD error, const char* operation);

private:
    class Worker;
    explicit Win32EventThread(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {}

    std::shared_ptr<Worker> worker_;
    // What the worker hands to this thread, while this object lives.
    EventHandOver handOver_;
    std::thread thread_;
};
