#pragma once
// A serial line on Linux: a tty opened non-blocking, set up with termios and ioctl, written by a
// PortWriter and watched by a LinuxEventThread, all through one LinuxSystem.

#include "serial/ComLine.h"
#include "serial/linux/LineCounters.h"

#include <memory>
#include <optional>

class ComDevice;
class LinuxEventThread;
class PortWriter;
class LinuxSystem;

class LinuxLine : public ComLine {
public:
    // Takes over an open descriptor: claims the device for this process, keeps its settings to
    // be put back, and empties its queues. Throws Failure (the descriptor is let go again).
    LinuxLine(std::shared_ptr<LinuxSystem> system, int fd);
    ~LinuxLine() override;

    void Configure(const LineSettings& settings) override;
    void SetBufferSizes(std::int32_t, std::int32_t) override {}

    std::optional<Failure> StartWrite(std::string_view bytes, const TTimeouts& timeouts) override;
    WriteOutcome WaitWrite() override;
    void PurgeOutput() override;
    void Close() override;

    int InputCount() override;
    int Read(void* buffer, int count) override;
    TLineErrors TakeLineErrors() override;

    void SetDTR() override;
    TModemStatus ModemStatus() override;

    std::uint32_t SilentEvents() const override;
    bool StartEvents(const EventSettings& settings, EventReports reports) override;
    void StopEvents() override;
    bool Watching() const override { return thread_ != nullptr; }
    void SetEventMask(std::uint32_t mask) override;
    void SetEventPriority(TThreadPriority priority) override;

private:
    void Claim();
    void SetModemLine(bool on, int line);

    std::shared_ptr<LinuxSystem> system_;
    std::shared_ptr<ComDevice> device_;
    std::unique_ptr<PortWriter> writer_;
    std::unique_ptr<LinuxEventThread> thread_;
    std::function<bool()> txEmptyWanted_;

    // The kernel's line counters when they were last read and cleared; a device without them
    // is not asked again, as every write would ask.
    std::optional<LineCounts> lineCounts_;
    bool lineCounters_ = true;
};
