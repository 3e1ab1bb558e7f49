#include "app/PortCure.h"

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool InGroup(gid_t group)
{
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

} // namespace

QString PortCure(TComErrorKind kind, const ComNames& names, const std::string& port)
{
    if (kind != ekDenied)
        return {};
    // Outside the device's group a user is refused every serial device: that is the cure. A
    // user in it was refused for another reason, most often a new node that udev had not yet
    // handed to the group; joining it again cures nothing. A node that cannot be looked at
    // leaves the usual cause.
    const std::string device = names.Resolve(port);
    struct stat node {};
    if (!device.empty() && ::stat(device.c_str(), &node) == 0 && InGroup(node.st_gid))
        return {};
    return QStringLiteral("\nYour user may not use serial ports. Run\n"
                          "sudo usermod -aG dialout $USER\n"
                          "then log out and in again.");
}
