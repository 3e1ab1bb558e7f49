#include "PortRegistration.h"

#include "lang/Exceptions.h"
#include "os/linux/BoardLink.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace board {
namespace {

std::string ComName(int number)
{
    return "COM" + std::to_string(number);
}

} // namespace

PortRegistration::PortRegistration(const ComNames::Roots& places, const std::string& device,
                                   std::optional<int> number)
    : directory_(places.portsDir), device_(device)
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
        if (!TryLink(*number)) {
            const fs::path taken = directory_ / ComName(*number);
            throw Exception(ComName(*number) + " is taken: " + taken.string() + " already exists");
        }
        return;
    }
    for (int n = 1; n <= ComNames::kLastNumber; ++n) {
        if (!places.MachinePortPresent(n) && TryLink(n))
            return;
    }
    throw Exception("No free COM number in " + directory_.string());
}

bool PortRegistration::TryLink(int number)
{
    const std::string link = (directory_ / ComName(number)).string();
    UniqueFd marker = BoardLink::LockMarker(link);
    if (!marker.valid())
        return false; // a running board has this number
    // With the marker locked no other board comes in between: a link left by a board that is
    // gone is replaced, anything else at that name is the user's.
    std::error_code error;
    if (fs::exists(fs::symlink_status(link, error))) {
        if (BoardLink::OwnerOf(link) == BoardLink::Owner::User) {
            BoardLink::RemoveMarker(link);
            return false;
        }
        ::unlink(link.c_str());
    }
    BoardLink::WriteTarget(marker.get(), device_);
    // symlink() fails when the name exists: the user may have made it just now.
    if (::symlink(device_.c_str(), link.c_str()) != 0) {
        const int reason = errno;
        BoardLink::RemoveMarker(link);
        if (reason == EEXIST)
            return false;
        throw std::system_error(reason, std::generic_category(), "Cannot create " + link);
    }
    link_ = link;
    number_ = number;
    marker_ = std::move(marker);
    return true;
}

PortRegistration::~PortRegistration()
{
    // Only our own link: someone may have replaced it meanwhile.
    std::error_code error;
    if (fs::read_symlink(link_, error) == device_)
        ::unlink(link_.c_str());
    BoardLink::RemoveMarker(link_.string());
}

} // namespace board
