#pragma once
// The event thread of an open port: waits in poll on the device and on a wake-up descriptor,
// notices received bytes, a drained transmitter, modem-line changes, line errors and a vanished
// device, and hands each finding to the user-interface thread through the reports its owner
// binds. The owner reaches the thread only through the calls below.
//
// Stopping lets go of any hand-over the thread waits for, wakes it and joins it: no event thread
// outlives its owner, and handed-over calls that have not run by then are dropped.

#include "serial/ComLine.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class ComDevice;
class EventHandOver;

class LinuxEventThread {
public:
    using Clock = std::chrono::steady_clock;

    using Settings = ComLine::EventSettings;
    // `found` and `failed` run on the user-interface thread; a failed wait has ended the thread.
    using Reports = ComLine::EventReports;

    // Call on the user-interface thread. Takes over wakeFd (an eventfd) and starts watching the
    // device; null when no thread can be made (no wake-up descriptor, no application, no
    // thread). What the lines look like now is the starting point for changes.
    static std::unique_ptr<LinuxEventThread> Start(std::shared_ptr<ComDevice> device, int wakeFd,
                                            const Settings& settings, Reports reports);
    ~LinuxEventThread();
    LinuxEventThread(const LinuxEventThread&) = delete;
    LinuxEventThread& operator=(const LinuxEventThread&) = delete;

    // Ends the thread and joins it; what it handed over and has not run yet is dropped.
    void Stop();
    void SetMask(std::uint32_t mask);
    void SetPriority(TThreadPriority priority);
    // A write's bytes are all with the kernel: the output queue should be empty by drainedBy,
    // and a byte takes perByte on the line.
    void NoteWrite(Clock::time_point drainedBy, std::chrono::nanoseconds perByte);
    // The owner has read this many bytes: they are no news when the queue is looked at again.
    void NoteRead(std::size_t bytes);
    void Wake();

private:
    struct Shared;
    class Loop;

    LinuxEventThread(std::shared_ptr<Shared> shared, Reports reports);

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<EventHandOver> handOver_;
    Reports reports_;
    std::thread thread_;
};
