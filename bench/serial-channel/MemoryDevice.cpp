#include "MemoryDevice.h"

#include <algorithm>
#include <cstring>
#include <sys/ioctl.h>

std::size_t MemoryDevice::Waiting() const
{
    return std::min(chunk_, data_.size() - offset_);
}

int MemoryDevice::Ioctl(int fd, unsigned long request, void* argument)
{
    if (request == FIONREAD) {
        *static_cast<int*>(argument) = static_cast<int>(Waiting());
        return 0;
    }
    return LinuxSystem::Ioctl(fd, request, argument);
}

ssize_t MemoryDevice::Read(int, void* buffer, std::size_t count)
{
    const std::size_t n = std::min(count, Waiting());
    std::memcpy(buffer, data_.data() + offset_, n);
    offset_ += n;
    return static_cast<ssize_t>(n);
}
