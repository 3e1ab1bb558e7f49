#pragma once
// A temporary XDG_CONFIG_HOME with a marqtest ports directory, for the lifetime of the object.
// The previous value comes back afterwards.

#include <QTemporaryDir>

#include <optional>
#include <string>

class PortsDirectory {
public:
    PortsDirectory();
    ~PortsDirectory();
    PortsDirectory(const PortsDirectory&) = delete;
    PortsDirectory& operator=(const PortsDirectory&) = delete;

    // Makes COMn a symbolic link to target.
    void Link(int number, const std::string& target) const;
    const std::string& Path() const { return path_; }

private:
    QTemporaryDir home_;
    std::optional<std::string> previous_;
    std::string path_;
};
