#include "os/linux/PortHolder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// A process that is there now and is not this one, with its name; a process that has ended
// (a stale lock, a reused descriptor) names nobody.
std::optional<PortHolder> Named(const PortHolderRoots& roots, long pid)
{
    if (pid <= 0 || pid == ::getpid())
        return std::nullopt;
    std::ifstream comm(roots.proc + "/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name) || name.empty())
        return std::nullopt;
    return PortHolder{static_cast<int>(pid), name};
}

// Every flock (and fcntl lock) in the system, readable by anyone:
//   "1: FLOCK  ADVISORY  WRITE 812 00:05:1043 0 EOF"
// with the node's filesystem device (major:minor in hex) and inode; "->" marks a process still
// waiting for the lock, which holds nothing yet.
std::optional<PortHolder> FromLocks(const PortHolderRoots& roots, const struct stat& node)
{
    std::ifstream locks(roots.proc + "/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, type, mode, access, where;
        long pid = 0;
        if (!(fields >> id >> type) || type == "->")
            continue;
        if (!(fields >> mode >> access >> pid >> where))
            continue;
        unsigned fsMajor = 0, fsMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &inode) != 3)
            continue;
        if (fsMajor == major(node.st_dev) && fsMinor == minor(node.st_dev) &&
            inode == node.st_ino) {
            if (auto holder = Named(roots, pid))
                return holder;
        }
    }
    return std::nullopt;
}

// UUCP lock files, LCK..ttyUSB0: the pid in ASCII, or in old ones as a binary int.
std::optional<PortHolder> FromLockFile(const PortHolderRoots& roots, const std::string& device)
{
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(device, failed);
    if (failed)
        return std::nullopt;
    std::ifstream file(roots.locks + "/LCK.." + real.filename().string(), std::ios::binary);
    char bytes[64];
    file.read(bytes, sizeof bytes);
    const std::string content(bytes, static_cast<std::size_t>(file.gcount()));
    const std::size_t first = content.find_first_not_of(" \t\n");
    const std::size_t last = content.find_last_not_of(" \t\n");
    const std::string digits =
        first == std::string::npos ? "" : content.substr(first, last - first + 1);
    if (!digits.empty() && digits.size() < 10 &&
        digits.find_first_not_of("0123456789") == std::string::npos)
        return Named(roots, std::stol(digits));
    if (content.size() == sizeof(std::int32_t)) {
        std::int32_t pid = 0;
        std::memcpy(&pid, content.data(), sizeof pid);
        return Named(roots, pid);
    }
    return std::nullopt;
}

// A process with a descriptor on the device, where /proc lets us look (our own user's, or
// every one for root). Only the name each descriptor's link gives is read: following the link
// (stat) goes into whatever file system the descriptor is on, and a dead network mount holds
// that for good.
std::optional<PortHolder> FromDescriptors(const PortHolderRoots& roots, const std::string& node)
{
    const Dir processes(::opendir(roots.proc.c_str()));
    if (!processes)
        return std::nullopt;
    std::string target(node.size() + 1, '\0');
    while (const dirent* process = ::readdir(processes.get())) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid())
            continue;
        const Dir descriptors(::opendir((roots.proc + "/" + process->d_name + "/fd").c_str()));
        if (!descriptors)
            continue;
        while (const dirent* descriptor = ::readdir(descriptors.get())) {
            if (descriptor->d_name[0] == '.')
                continue;
            // One byte more than the node's path: a longer name is another file.
            const ssize_t length = ::readlinkat(::dirfd(descriptors.get()), descriptor->d_name,
                                                target.data(), target.size());
            if (length == static_cast<ssize_t>(node.size()) &&
                target.compare(0, node.size(), node) == 0) {
                if (auto holder = Named(roots, pid))
                    return holder;
                break;
            }
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<PortHolder> FindPortHolder(const std::string& device, const PortHolderRoots& roots)
{
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0)
        return std::nullopt;
    if (auto holder = FromLocks(roots, node))
        return holder;
    if (auto holder = FromLockFile(roots, device))
        return holder;
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(device, failed);
    if (S_ISCHR(node.st_mode) && !failed)
        return FromDescriptors(roots, real.string());
    return std::nullopt;
}
