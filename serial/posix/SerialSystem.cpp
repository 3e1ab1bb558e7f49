#include "serial/posix/SerialSystem.h"
#include "serial/posix/CustomBaud.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
int Result(int value) { return value < 0 ? -errno : value; }
ssize_t Result(ssize_t value) { return value < 0 ? -errno : value; }
} // namespace

int SerialSystem::Open(const std::string& path)
{
    return Result(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
}

int SerialSystem::Close(int fd) { return Result(::close(fd)); }

int SerialSystem::Ioctl(int fd, unsigned long request, void* argument)
{
    return Result(::ioctl(fd, request, argument));
}

int SerialSystem::Flock(int fd, int operation) { return Result(::flock(fd, operation)); }

int SerialSystem::Flush(int fd, int queue) { return Result(::tcflush(fd, queue)); }

int SerialSystem::GetAttributes(int fd, termios& attributes)
{
    return Result(::tcgetattr(fd, &attributes));
}

int SerialSystem::SetAttributes(int fd, const termios& attributes)
{
    return Result(::tcsetattr(fd, TCSANOW, &attributes));
}

ssize_t SerialSystem::Read(int fd, void* buffer, std::size_t count)
{
    return Result(::read(fd, buffer, count));
}

ssize_t SerialSystem::Write(int fd, const void* buffer, std::size_t count)
{
    return Result(::write(fd, buffer, count));
}

int SerialSystem::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    return Result(::poll(fds, count, timeoutMs));
}

int SerialSystem::WakeDescriptor() { return Result(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); }

int SerialSystem::SetCustomSpeed(int fd, int bitsPerSecond)
{
    return customBaud::Set(fd, bitsPerSecond);
}

int SerialSystem::GetSpeed(int fd) { return customBaud::Get(fd); }
