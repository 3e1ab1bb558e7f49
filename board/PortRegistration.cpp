#include "PortRegistration.h"

#include "lang/Exceptions.h"
#include "os/ComNames.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace board {
namespace {

// A link left behind by a board that was killed points nowhere.
bool IsStaleLink(const fs::path& link)
{
    std::error_code error;
    return fs::is_symlink(fs::symlink_status(link, error)) && !fs::exists(link, error);
}

std::string ComName(int number)
{
    return "COM" + std::to_string(number);
}

} // namespace

PortRegistration::PortRegistration(const fs::path& directory, const std::string& device,
                                   std::optional<int> number)
    : directory_(directory), device_(device)
{
    if (directory_.empty())
        throw Exception("No ports directory: the user has no home directory");
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error)
        throw Exception("Cannot create " + directory_.string() + ": " + error.message());

    if (number) {
        if (*number < 1 || *number > ComNames::kLastNumber)
            throw Exception(ComName(*number) + " is outside COM1 to " + ComName(ComNames::kLastNumber));
        if (!TryLink(*number, true)) {
            const fs::path taken = directory_ / ComName(*number);
            throw Exception(ComName(*number) + " is taken: " + taken.string() + " already exists");
        }
        return;
    }
    const ComNames machine(ComNames::Roots{});
    for (int n = 1; n <= ComNames::kLastNumber; ++n) {
        if (!machine.MachinePortPresent(n) && TryLink(n, true))
            return;
    }
    throw Exception("No free COM number in " + directory_.string());
}

bool PortRegistration::TryLink(int number, bool reclaimStale)
{
    const fs::path link = directory_ / ComName(number);
    if (reclaimStale && IsStaleLink(link))
        ::unlink(link.c_str());
    // symlink() fails when the name exists, so two boards starting together never share one.
    if (::symlink(device_.c_str(), link.c_str()) != 0) {
        const int error = errno;
        if (error == EEXIST)
            return false;
        throw std::system_error(error, std::generic_category(), "Cannot create " + link.string());
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
