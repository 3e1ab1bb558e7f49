#include "os/VersionInfo.h"

std::string VersionText(std::string_view program)
{
    const std::string version = OwnVersion();
    return std::string(program) + " " + (version.empty() ? "(no version recorded)" : version) +
           "\n" MARQ_COPYRIGHT "\n"
           "Released under the MIT licence; there is NO WARRANTY.\n";
}

std::string AppendVersion(const std::string& caption)
{
    const std::string version = OwnVersion();
    if (version.empty())
        return caption;
    return caption + " V" + version;
}
