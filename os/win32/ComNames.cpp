#include "os/ComNames.h"

#include "os/win32/WideText.h"

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <map>
#include <memory>
#include <set>

// Windows names its serial devices itself: the COM number is the device, and an adapter keeps
// its number when it is plugged in again. Every serial port driver enters its ports in the
// registry's serial device map; the device manager's Ports class says what each device is.
struct ComNames::Roots {};

const int ComNames::kLastNumber = 4096;

namespace {

std::string DeviceName(int number)
{
    return "COM" + std::to_string(number);
}

// The device map's target for a name ("\Device\Serial0"); empty when the system has no such
// device.
std::string Target(int number)
{
    wchar_t target[MAX_PATH];
    const DWORD length = ::QueryDosDeviceW(Wide(DeviceName(number)).c_str(), target, MAX_PATH);
    return length == 0 ? std::string() : Utf8(target);
}

struct KeyCloser {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// A text value of a registry key; empty when it has none.
std::wstring TextValue(HKEY key, const wchar_t* name)
{
    wchar_t text[256];
    DWORD type = 0;
    DWORD bytes = sizeof text - sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    text[bytes / sizeof(wchar_t)] = L'\0';
    return text;
}

// The numbers in the serial device map: every port present, whatever its driver, COM1-COM4096.
std::set<int> MappedNumbers()
{
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                        &opened) != ERROR_SUCCESS)
        return {};
    const Key map(opened);
    std::set<int> numbers;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        wchar_t port[64];
        DWORD nameLength = std::size(name);
        DWORD portBytes = sizeof port - sizeof(wchar_t);
        DWORD type = 0;
        const LONG result = ::RegEnumValueW(map.get(), index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(port), &portBytes);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        port[portBytes / sizeof(wchar_t)] = L'\0';
        if (const int n = ComNames::ComNumber(Utf8(port)))
            numbers.insert(n);
    }
    return numbers;
}

// What the device manager calls the device of each port present ("USB Serial Port (COM5)").
std::map<int, std::string> FriendlyNames()
{
    const HDEVINFO devices = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE)
        return {};
    std::map<int, std::string> names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY opened =
            ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (opened == INVALID_HANDLE_VALUE)
            continue;
        const Key parameters(opened);
        const int n = ComNames::ComNumber(Utf8(TextValue(parameters.get(), L"PortName")));
        wchar_t friendly[256];
        if (n == 0 || !::SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME,
                                                           nullptr, reinterpret_cast<BYTE*>(friendly),
                                                           sizeof friendly - sizeof(wchar_t), nullptr))
            continue;
        friendly[std::size(friendly) - 1] = L'\0';
        names[n] = Utf8(friendly);
    }
    ::SetupDiDestroyDeviceInfoList(devices);
    return names;
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
    std::vector<std::string> names;
    for (int n : MappedNumbers())
        names.push_back(DeviceName(n));
    return names;
}

std::string ComNames::Describe(std::string_view name) const
{
    const int number = Number(name);
    const std::string target = number == 0 ? std::string() : Target(number);
    if (target.empty())
        return std::string(name) + ": no such device";
    std::string text = DeviceName(number) + " -> " + target;
    const std::map<int, std::string> friendly = FriendlyNames();
    if (const auto found = friendly.find(number); found != friendly.end())
        text += " (" + found->second + ")";
    return text;
}

ComNames::Device ComNames::Identify(std::string_view name) const
{
    const int number = Number(name);
    Device device;
    if (number != 0)
        device.path = DeviceName(number);
    return device;
}

std::set<std::string> ComNames::LookAlikes(const Device&) const
{
    return {}; // the COM number stays with the adapter: nothing else is taken for it
}

ComNames::Sighting ComNames::Find(const Device& device, std::string_view preferred,
                                  const std::set<std::string>&) const
{
    const int number = Number(device.path);
    if (number == 0 || Target(number).empty())
        return {};
    // The number is the device: it comes back under the name it went away with.
    return {Number(preferred) == number ? std::string(preferred) : device.path, {}, {}};
}
