#include "ProcessFigures.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int Entries(const char* directory)
{
    const std::filesystem::directory_iterator entries(directory);
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

} // namespace

ProcessFigures ProcessFigures::Now()
{
    // The count of descriptors leaves out the one the listing itself holds open.
    return {ResidentKilobytes(), Entries("/proc/self/fd") - 1, Entries("/proc/self/task")};
}
