#include "ProcessCounts.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {
std::size_t Entries(const char* directory)
{
    const std::filesystem::directory_iterator entries(directory);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}
} // namespace

std::size_t OpenDescriptors() { return Entries("/proc/self/fd"); }

std::size_t Threads() { return Entries("/proc/self/task"); }

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}
