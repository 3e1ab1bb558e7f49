#pragma once
// Where COM names lead on Linux: through the user's ports directory first, a folder of symbolic
// links named COMn, and otherwise through a fixed table:
//   COM1-COM32 /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31,
//   COM97-COM99 /dev/ttyAMA0-2.
// A name that starts with "/" is a path already.

#include "os/ComNames.h"

#include <string>

struct ComNames::Roots {
    std::string portsDir; // where the user's COMn links live
    std::string dev = "/dev";
    std::string sysTty = "/sys/class/tty";
    std::string byId = "/dev/serial/by-id";

    // ${XDG_CONFIG_HOME:-$HOME/.config}/marqtest/ports, with the home directory from the user
    // database when HOME is not set; empty when there is no home at all.
    static std::string PortsDirectory();

    // The fixed table's device for COMn; empty outside it.
    std::string TablePath(int number) const;
    // True when COMn leads through the fixed table to a serial device of the machine itself,
    // whatever the ports directory says.
    bool MachinePortPresent(int number) const;
};
