#pragma once
// The rest of the program names ports "COMn" (or "\\.\COMn"), n from 1 to kLastNumber. What a
// name leads to is the system's: on Windows the device of that name, on Linux a device found
// through the user's ports directory or a fixed table (os/linux/ComRoots.h).

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class ComNames {
public:
    // The highest COM number, the system's: Windows numbers ports up to COM4096; on Linux the
    // fixed table ends at COM99.
    static const int kLastNumber;

    // The number n of "COMn", 1 to kLastNumber; 0 for any other text.
    static int ComNumber(std::string_view name);
    // The same for the driver's device names, which may also be spelt "\\.\COMn".
    static int Number(std::string_view name);

    // Where the system keeps the devices that names lead to.
    struct Roots;
    explicit ComNames(Roots roots);
    // The running system's places (on Linux the user's ports directory, the real /dev and
    // /sys), read once by the program's main and handed on.
    static ComNames FromEnvironment();
    // Where this list looks.
    const Roots& Places() const { return *roots_; }

    // What to open for a device name; empty when the name leads to no device at all.
    std::string Resolve(std::string_view name) const;
    // "COMn" for every n that leads to a serial device present now, in ascending order.
    std::vector<std::string> Present() const;
    // What the system says is behind a name, for people.
    std::string Describe(std::string_view name) const;

    // A device as it can be recognised after it was unplugged. What the name resolved to; for a
    // USB adapter on Linux also where it was plugged in and what it says it is (on Windows the
    // COM number stays with the adapter).
    struct Device {
        std::string path;
        std::string place;     // the USB device's sysfs path: the socket it is plugged into
        std::string interface; // which of the device's serial lines: "1.0", "1.0#1"
        std::string model;     // idVendor:idProduct
        std::string serial;    // the USB serial number; empty when it has none
        // For a device without USB facts, the node the path led to (on Linux its file, device
        // number and change time): only that node is this device again.
        std::string node;
    };
    // The device `name` leads to now.
    Device Identify(std::string_view name) const;
    // The sockets of the adapters present now that say the same of themselves as `device`,
    // its own socket left out: when it goes away, none of them is it.
    std::set<std::string> LookAlikes(const Device& device) const;
    // Where a device is now: "COMn" leading to it (`preferred` when that one does), or no name
    // while it is away; then `doubt` says why something present was not taken for it. An adapter
    // in one of the sockets `notIt` (look-alikes present when it went, or seen and not
    // taken while it was away) is never taken; `others` holds the look-alikes seen now and not
    // taken.
    struct Sighting {
        std::string name;
        std::string doubt;
        std::set<std::string> others;
    };
    Sighting Find(const Device& device, std::string_view preferred,
                  const std::set<std::string>& notIt = {}) const;

private:
    std::shared_ptr<const Roots> roots_;
};
