#pragma once
// An open serial device. Shared between the port and its event thread, so that the descriptor
// stays valid until the last of them lets go, however the two end.

#include "serial/SerialSystem.h"

#include <cerrno>
#include <memory>

class ComDevice {
public:
    ComDevice(std::shared_ptr<SerialSystem> system, int fd) : system_(std::move(system)), fd_(fd) {}
    ~ComDevice();
    ComDevice(const ComDevice&) = delete;
    ComDevice& operator=(const ComDevice&) = delete;

    int Fd() const { return fd_; }
    SerialSystem& System() const { return *system_; }

    // Calls that a device without such lines answers with ENOTTY or EINVAL: those lines or
    // counters simply do not exist there.
    static bool Unsupported(int result) { return result == -ENOTTY || result == -EINVAL; }

private:
    std::shared_ptr<SerialSystem> system_;
    int fd_;
};
