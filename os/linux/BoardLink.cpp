#include "os/linux/BoardLink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <climits>
#include <system_error>

namespace fs = std::filesystem;

namespace BoardLink {
namespace {

std::string MarkerPath(const std::string& link)
{
    const fs::path path(link);
    return (path.parent_path() / ("." + path.filename().string() + ".board")).string();
}

// Locks on the open file itself (not on the process), so that whoever only looks at a marker
// can never release the lock of the board that holds it.
flock WholeFile(short type)
{
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

bool SameFile(int fd, const std::string& path)
{
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

} // namespace

Owner OwnerOf(const std::string& link)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    if (error)
        return Owner::User;
    const std::string marker = MarkerPath(link);
    const UniqueFd fd(::open(marker.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid())
        return Owner::User;
    std::string named(PATH_MAX + 1, '\0');
    const ssize_t count = ::pread(fd.get(), named.data(), named.size(), 0);
    named.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (named.empty() || named != target.string() + "\n")
        return Owner::User;
    flock lock = WholeFile(F_WRLCK);
    if (::fcntl(fd.get(), F_OFD_GETLK, &lock) != 0)
        return Owner::Board; // cannot tell: never treat a running board's link as gone
    return lock.l_type == F_UNLCK ? Owner::GoneBoard : Owner::Board;
}

UniqueFd LockMarker(const std::string& link)
{
    const std::string marker = MarkerPath(link);
    for (;;) {
        UniqueFd fd(::open(marker.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd.valid())
            throw std::system_error(errno, std::generic_category(), "Cannot create " + marker);
        flock lock = WholeFile(F_WRLCK);
        if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) {
            if (errno == EAGAIN || errno == EACCES)
                return {};
            throw std::system_error(errno, std::generic_category(), "Cannot lock " + marker);
        }
        // A board that ended may have removed the marker between our open and our lock; then
        // the lock is on a file nobody else will look at.
        if (SameFile(fd.get(), marker))
            return fd;
    }
}

void WriteTarget(int marker, const std::string& target)
{
    const std::string text = target.empty() ? std::string() : target + "\n";
    if (::ftruncate(marker, 0) != 0 || ::pwrite(marker, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        throw std::system_error(errno, std::generic_category(), "Cannot write the board's marker");
}

void RemoveMarker(const std::string& link)
{
    ::unlink(MarkerPath(link).c_str());
}

} // namespace BoardLink
