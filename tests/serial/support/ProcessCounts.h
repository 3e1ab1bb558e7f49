#pragma once
// What the process holds, for tests that check that nothing is left behind.

#include <cstddef>

// Entries of /proc/self/fd and of /proc/self/task.
std::size_t OpenDescriptors();
std::size_t Threads();
