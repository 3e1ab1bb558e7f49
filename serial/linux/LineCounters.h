#pragma once
// The kernel's per-line counters (TIOCGICOUNT): line errors and received breaks, and how often
// each modem input line has changed. Counting catches what a sample of the levels misses, such
// as a ring or CTS pulse shorter than the sampling interval. Devices without counters
// (pseudo-terminals, some USB adapters) answer ENOTTY or EINVAL.

#include "serial/ComTypes.h"

#include <array>
#include <cstdint>

class LinuxSystem;

struct LineCounts {
    std::array<int, 5> errors{}; // in the order of TLineError
    std::array<int, 4> modem{};  // in the order of TModemStatusValue
};

// Reads the counters; returns 0 or -errno.
int ReadLineCounts(LinuxSystem& system, int fd, LineCounts& counts);

// The line errors (breaks included) whose counters moved.
TLineErrors ChangedErrors(const LineCounts& before, const LineCounts& now);
// The modem-line events whose counters moved.
std::uint32_t ModemCountEvents(const LineCounts& before, const LineCounts& now);
// The modem-line events whose levels (TIOCM_* bits) differ.
std::uint32_t ModemLevelEvents(int before, int now);
