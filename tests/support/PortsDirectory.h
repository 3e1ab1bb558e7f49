#pragma once
// A private place for COM names, for the lifetime of the object: a ports directory and an empty
// /dev, /sys/class/tty and /dev/serial/by-id of its own, so that no name leads to a device of the
// host. Names() hands it to what a test builds; a program the test starts finds it through
// Environment(), as the user's own ports directory.

#include "os/linux/ComRoots.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <string>

class PortsDirectory {
public:
    PortsDirectory();
    PortsDirectory(const PortsDirectory&) = delete;
    PortsDirectory& operator=(const PortsDirectory&) = delete;

    // Makes COMn a symbolic link to target.
    void Link(int number, const std::string& target) const;
    // Makes an entry of its /dev, a device node to the names that lead there.
    void Node(const std::string& name) const;
    const std::string& Path() const { return places_.portsDir; }
    const ComNames::Roots& Places() const { return places_; }
    ComNames Names() const { return ComNames(places_); }
    // The system environment with this directory as the user's ports directory.
    QProcessEnvironment Environment() const;

private:
    QTemporaryDir home_;
    ComNames::Roots places_;
};
