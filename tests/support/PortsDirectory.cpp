#include "PortsDirectory.h"

#include "os/linux/ComRoots.h"

#include <cstdlib>
#include <filesystem>

PortsDirectory::PortsDirectory()
{
    if (const char* value = std::getenv("XDG_CONFIG_HOME"))
        previous_ = value;
    setenv("XDG_CONFIG_HOME", home_.path().toStdString().c_str(), 1);
    path_ = ComNames::Roots::PortsDirectory();
    std::filesystem::create_directories(path_);
}

PortsDirectory::~PortsDirectory()
{
    if (previous_)
        setenv("XDG_CONFIG_HOME", previous_->c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

void PortsDirectory::Link(int number, const std::string& target) const
{
    const std::filesystem::path link = Path() + "/COM" + std::to_string(number);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
}
