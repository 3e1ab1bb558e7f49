#pragma once
// What the process holds, for tests that check that nothing is left behind.

#include <cstddef>

// Entries of /proc/self/fd (the listing's own descriptor among them) and of /proc/self/task.
std::size_t OpenDescriptors();
std::size_t Threads();
// The resident memory (VmRSS) in kilobytes, -1 when it cannot be read.
long ResidentKilobytes();
