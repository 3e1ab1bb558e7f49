#include "PortRegistration.h"

#include "SystemError.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace board {
namespace {

constexpr int kLastNumber = 99;

// A link left behind by a board that was killed points nowhere.
bool IsStaleLink(const fs::path& link)
{
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(link, error)) && !fs::exists(link, error);
}

} // namespace

bool MachinePortPresent(int number)
{
    if (number >= 1 && number <= 32) {
        // The kernel lists 32 ttyS ports whether or not a UART is behind them; type 0 means none.
        std::ifstream type("/sys/class/tty/ttyS" + std::to_string(number - 1) + "/type");
        int value = 0;
        return type >> value && value != 0;
    }
    struct Range { int first; const char* prefix; };
    for (const Range range : {Range{33, "/dev/ttyUSB"}, Range{65, "/dev/ttyACM"}, Range{97, "/dev/ttyAMA"}}) {
        const int index = number - range.first;
        if (index >= 0 && index < 32) {
            std::error_code error;
            return fs::exists(range.prefix + std::to_string(index), error);
        }
    }
    return false;
}

fs::path PortRegistration::DefaultDirectory()
{
    fs::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = fs::path(home) / ".config";
    } else if (const passwd* user = ::getpwuid(::getuid())) {
        config = fs::path(user->pw_dir) / ".config";
    }
    return config / "marqtest" / "ports";
}

PortRegistration::PortRegistration(const fs::path& directory, const std::string& device,
                                   std::optional<int> number)
    : directory_(directory), device_(device)
{
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error)
        throw Exception("Cannot create " + directory_.string() + ": " + error.message());

    if (number) {
        if (*number < 1 || *number > kLastNumber)
            throw Exception("COM" + std::to_string(*number) + " is outside COM1 to COM99");
        if (!TryLink(*number, true)) {
            const fs::path taken = directory_ / ("COM" + std::to_string(*number));
            throw Exception("COM" + std::to_string(*number) + " is taken: " + taken.string() +
                            " already exists");
        }
        return;
    }
    for (int n = 1; n <= kLastNumber; ++n) {
        if (!MachinePortPresent(n) && TryLink(n, true))
            return;
    }
    throw Exception("No free COM number in " + directory_.string());
}

bool PortRegistration::TryLink(int number, bool reclaimStale)
{
    const fs::path link = directory_ / ("COM" + std::to_string(number));
    if (reclaimStale && IsStaleLink(link))
        ::unlink(link.c_str());
    // symlink() fails when the name exists, so two boards starting together never share one.
    if (::symlink(device_.c_str(), link.c_str()) != 0) {
        if (errno == EEXIST)
            return false;
        throw SystemError("Cannot create " + link.string(), errno);
    }
    link_ = link;
    number_ = number;
    return true;
}

PortRegistration::~PortRegistration()
{
    // Only our own link: someone may have replaced it meanwhile.
    std::error_code error;
    if (fs::read_symlink(link_, error) == device_)
        ::unlink(link_.c_str());
}

} // namespace board
