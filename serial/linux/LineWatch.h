#pragma once
// What the event thread knows of the line between two looks: where the modem lines and the
// kernel's counters stood, which received bytes were already reported, and when the output
// queue is next worth a look. Sample() compares the line with that and names what changed.
// No threads and no Qt here: the event thread owns one LineWatch and asks it between waits.

#include "serial/linux/LineCounters.h"

#include <chrono>
#include <cstdint>

class LinuxSystem;

class LineWatch {
public:
    using Clock = std::chrono::steady_clock;

    LineWatch(LinuxSystem& system, int fd) : system_(system), fd_(fd) {}

    // Where the lines newly watched (in `now`, not in `before`) stand now; changes are measured
    // from here. Lines already watched keep their last look, so that nothing that moved since
    // is lost. 0 or -errno.
    int Begin(std::uint32_t before, std::uint32_t now);
    // A write has been handed to the kernel: the output queue should be empty by drainedBy,
    // and each byte still queued after that takes perByte on the line.
    void ExpectDrain(Clock::time_point drainedBy, std::chrono::nanoseconds perByte);

    // The longest the next wait may last, in milliseconds; -1 for no limit.
    int WaitMs(std::uint32_t mask, bool txDue) const;
    // Whether the next wait ends when bytes arrive (otherwise the input queue is sampled).
    bool WaitsForInput(std::uint32_t mask) const;
    // Looks at every watched line and adds the events found. 0 or -errno; Failed() then names
    // the call.
    int Sample(std::uint32_t mask, bool txDue, std::uint64_t bytesRead, std::uint32_t& found);
    // After a dispatch of received bytes: what the handlers left unread is old news, bytes that
    // came in while they ran are new at once.
    void AfterReceive(std::uint64_t bytesRead);
    const char* Failed() const { return failed_; }

private:
    int Fail(int result, const char* operation);
    int SampleModem(std::uint32_t mask, std::uint32_t& found);
    int SampleInput(std::uint64_t bytesRead, std::uint32_t& found);
    int SampleOutput(std::uint32_t& found);
    void ForgetRead(std::uint64_t read);

    LinuxSystem& system_;
    const int fd_;
    const char* failed_ = "";

    bool modemLines_ = true;  // the device answers TIOCMGET
    bool counters_ = true;    // the device answers TIOCGICOUNT
    bool transmitter_ = true; // the device answers TIOCSERGETLSR
    int modem_ = 0;
    LineCounts counts_;

    int rxSeen_ = 0;
    std::uint64_t readSeen_ = 0;
    bool rxSampling_ = false;
    bool rxPending_ = false;

    Clock::time_point nextTxLook_{};
    std::chrono::nanoseconds perByte_{0};
};
