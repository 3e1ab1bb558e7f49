#include "PortsDirectory.h"

#include <filesystem>
#include <fstream>

PortsDirectory::PortsDirectory()
{
    const std::string home = home_.path().toStdString();
    // Where ${XDG_CONFIG_HOME}/marqtest/ports leads with XDG_CONFIG_HOME at home.
    places_.portsDir = home + "/marqtest/ports";
    places_.dev = home + "/dev";
    places_.sysTty = home + "/sys/class/tty";
    places_.byId = places_.dev + "/serial/by-id";
    for (const std::string& folder : {places_.portsDir, places_.sysTty, places_.byId})
        std::filesystem::create_directories(folder);
}

void PortsDirectory::Link(int number, const std::string& target) const
{
    const std::filesystem::path link = Path() + "/COM" + std::to_string(number);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
}

void PortsDirectory::Node(const std::string& name) const { std::ofstream(places_.dev + "/" + name) << ""; }

QProcessEnvironment PortsDirectory::Environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", home_.path());
    return environment;
}
