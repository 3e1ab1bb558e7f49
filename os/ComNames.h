#pragma once
// The rest of the program names ports "COMn" (or "\\.\COMn"), n from 1 to 99. On Linux a COM
// number leads to a device through the user's ports directory first, a folder of symbolic links
// named COMn, and otherwise through a fixed table:
//   COM1-COM32 /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31,
//   COM97-COM99 /dev/ttyAMA0-2.
// A name that starts with "/" is a path already.

#include <string>
#include <string_view>
#include <vector>

class ComNames {
public:
    // The highest COM number. The serial channel reads a port's number back from the last two
    // characters of its name, so the window could not show a higher one.
    static constexpr int kLastNumber = 99;

    struct Roots {
        std::string portsDir; // where the user's COMn links live
        std::string dev = "/dev";
        std::string sysTty = "/sys/class/tty";
        std::string byId = "/dev/serial/by-id";
    };

    explicit ComNames(Roots roots) : roots_(std::move(roots)) {}
    // The user's ports directory, the real /dev and /sys.
    static ComNames FromEnvironment();
    // ${XDG_CONFIG_HOME:-$HOME/.config}/marqtest/ports, with the home directory from the user
    // database when HOME is not set; empty when there is no home at all.
    static std::string PortsDirectory();
    // The folders whose entries decide which names are present.
    const Roots& Folders() const { return roots_; }

    // The number n of "COMn", 1 to kLastNumber; 0 for any other text.
    static int ComNumber(std::string_view name);
    // The same for the driver's device names, which may also be spelt "\\.\COMn".
    static int Number(std::string_view name);
    // The path to open for a device name; empty when the name leads to no device at all.
    std::string Resolve(std::string_view name) const;
    // "COMn" for every n that leads to a serial device present now, in ascending order.
    std::vector<std::string> Present() const;
    // True when COMn leads through the fixed table to a serial device of the machine itself,
    // whatever the ports directory says.
    bool MachinePortPresent(int number) const;
    // The Linux path behind a name and, for USB adapters, what the adapter calls itself.
    std::string Describe(std::string_view name) const;

    // A device as it can be recognised after it was unplugged: an adapter's by-id name, which it
    // keeps when it comes back under another ttyUSB number, else the path the name resolved to.
    struct Device {
        std::string byId;
        std::string path;
    };
    // The device `name` leads to now.
    Device Identify(std::string_view name) const;
    // "COMn" leading to `device` now (`preferred` when that one does), or empty while it is away.
    std::string Find(const Device& device, std::string_view preferred) const;

private:
    std::string TablePath(int number) const;
    std::string LinkPath(int number) const;
    bool IsPresent(int number) const;
    bool HasHardware(const std::string& node) const;
    std::string UsbName(const std::string& node) const;
    std::string ById(const std::string& node) const;

    Roots roots_;
};
