#pragma once
// Which program keeps a device busy, as far as an ordinary user may find out: the kernel's
// table of locks, UUCP lock files, and the descriptors /proc lets us see.

#include <optional>
#include <string>

struct PortHolder {
    int pid = 0;
    std::string name; // its command name, as /proc/PID/comm has it
};

// Where to look; tests put their own in place.
struct PortHolderRoots {
    std::string proc = "/proc";
    std::string locks = "/var/lock"; // UUCP lock files, LCK..<device>
};

// A process other than this one that holds `device` (a path; links are followed), or nothing
// when no source tells.
std::optional<PortHolder> FindPortHolder(const std::string& device,
                                         const PortHolderRoots& roots = {});
