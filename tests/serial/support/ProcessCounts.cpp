#include "ProcessCounts.h"

#include <filesystem>
#include <iterator>

namespace {
std::size_t Entries(const char* directory)
{
    const std::filesystem::directory_iterator entries(directory);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}
} // namespace

std::size_t OpenDescriptors() { return Entries("/proc/self/fd"); }

std::size_t Threads() { return Entries("/proc/self/task"); }
