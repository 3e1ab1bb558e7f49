#include "serial/linux/LinuxSystem.h"
#include "serial/linux/CustomBaud.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {
int Result(int value) { return value < 0 ? -errno : value; }
ssize_t Result(ssize_t value) { return value < 0 ? -errno : value; }
} // namespace

LinuxSystem::LinuxSystem(ComNames names)
    : LinuxSystem(std::move(names), [](const std::string& device) { return FindPortHolder(device); })
{
}

LinuxSystem::LinuxSystem(ComNames names, HolderSearch::Lookup holderLookup)
    : ComSystem(std::move(names)), holders_(std::move(holderLookup))
{
}

int LinuxSystem::Open(const std::string& path)
{
    return Result(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

int LinuxSystem::Close(int fd) { return Result(::close(fd)); }

int LinuxSystem::Ioctl(int fd, unsigned long request, void* argument)
{
    return Result(::ioctl(fd, request, argument));
}

int LinuxSystem::Flock(int fd, int operation) { return Result(::flock(fd, operation)); }

int LinuxSystem::Flush(int fd, int queue) { return Result(::tcflush(fd, queue)); }

int LinuxSystem::GetAttributes(int fd, termios& attributes)
{
    return Result(::tcgetattr(fd, &attributes));
}

int LinuxSystem::SetAttributes(int fd, const termios& attributes)
{
    return Result(::tcsetattr(fd, TCSANOW, &attributes));
}

ssize_t LinuxSystem::Read(int fd, void* buffer, std::size_t count)
{
    return Result(::read(fd, buffer, count));
}

ssize_t LinuxSystem::Write(int fd, const void* buffer, std::size_t count)
{
    return Result(::write(fd, buffer, count));
}

int LinuxSystem::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    return Result(::poll(fds, count, timeoutMs));
}

int LinuxSystem::WakeDescriptor() { return Result(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

int LinuxSystem::SetCustomSpeed(int fd, int bitsPerSecond)
{
    return customBaud::Set(fd, bitsPerSecond);
}

int LinuxSystem::GetSpeed(int fd) { return customBaud::Get(fd); }

bool LinuxSystem::IsPseudoTerminal(int fd)
{
    // Majors 136-143.
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
           major(status.st_rdev) <= 143;
}
