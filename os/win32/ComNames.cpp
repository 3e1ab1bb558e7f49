#include "os/ComNames.h"

#include <windows.h>

#include <algorithm>
#include <set>

// Windows names its serial devices itself: the COM number is the device, and an adapter keeps
// its number when it is plugged in again.
struct ComNames::Roots {};

namespace {

// The size QueryDosDevice's list of every device name fits in.
constexpr DWORD kDeviceListSize = 65535;

// The device map's target for a name ("\Device\Serial0"); empty when the system has no such
// device.
std::string Target(const std::string& name)
{
    char target[MAX_PATH];
    const DWORD length = ::QueryDosDeviceA(name.c_str(), target, sizeof target);
    return length == 0 ? std::string() : std::string(target);
}

std::string DeviceName(int number)
{
    return "COM" + std::to_string(number);
}

} // namespace

ComNames::ComNames(Roots roots) : roots_(std::make_shared<const Roots>(roots)) {}

ComNames ComNames::FromEnvironment()
{
    return ComNames(Roots{});
}

std::string ComNames::Resolve(std::string_view name) const
{
    const int number = Number(name);
    // The device namespace's spelling opens COM1-COM9 as well as the higher numbers, which the
    // short one cannot reach.
    return number == 0 ? std::string() : "\\\\.\\" + DeviceName(number);
}

std::vector<std::string> ComNames::Present() const
{
    std::string list(kDeviceListSize, '\0');
    const DWORD length = ::QueryDosDeviceA(nullptr, list.data(), kDeviceListSize);
    if (length == 0)
        return {};
    list.resize(length);
    std::set<int> numbers;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = std::min(list.find('\0', start), list.size());
        if (const int n = ComNumber(std::string_view(list).substr(start, end - start)))
            numbers.insert(n);
        start = end + 1;
    }
    std::vector<std::string> names;
    for (int n : numbers)
        names.push_back(DeviceName(n));
    return names;
}

std::string ComNames::Describe(std::string_view name) const
{
    const int number = Number(name);
    const std::string target = number == 0 ? std::string() : Target(DeviceName(number));
    if (target.empty())
        return std::string(name) + ": no such device";
    return DeviceName(number) + " -> " + target;
}

ComNames::Device ComNames::Identify(std::string_view name) const
{
    const int number = Number(name);
    Device device;
    if (number != 0)
        device.path = DeviceName(number);
    return device;
}

ComNames::Sighting ComNames::Find(const Device& device, std::string_view preferred) const
{
    if (device.path.empty() || Target(device.path).empty())
        return {};
    // The number is the device: it comes back under the name it went away with.
    return {Number(preferred) == Number(device.path) ? std::string(preferred) : device.path, {}};
}
