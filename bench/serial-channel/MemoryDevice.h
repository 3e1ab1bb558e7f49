#pragma once
// A serial device whose received bytes come from memory, a chunk per read, so that the channel's
// own work can be timed without the kernel's line buffer in the way. Everything else goes to
// the real device it was opened on.

#include "serial/linux/LinuxSystem.h"

#include <cstddef>
#include <string>

class MemoryDevice : public LinuxSystem {
public:
    MemoryDevice(ComNames names, std::string data, std::size_t chunk)
        : LinuxSystem(std::move(names)), data_(std::move(data)), chunk_(chunk)
    {
    }

    int Ioctl(int fd, unsigned long request, void* argument) override;
    ssize_t Read(int fd, void* buffer, std::size_t count) override;

    bool Drained() const { return offset_ == data_.size(); }

private:
    std::size_t Waiting() const;

    std::string data_;
    std::size_t chunk_;
    std::size_t offset_ = 0;
};
