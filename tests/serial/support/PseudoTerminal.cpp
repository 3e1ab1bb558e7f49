#include "PseudoTerminal.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) < 0)
        throw std::runtime_error("openpty failed");
    slavePath_ = name;
    // The far end of a real line does not echo or translate either.
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
}

PseudoTerminal::~PseudoTerminal()
{
    if (master_ >= 0)
        close(master_);
    close(slave_);
}

void PseudoTerminal::Send(std::string_view bytes) const
{
    while (!bytes.empty()) {
        const ssize_t written = write(master_, bytes.data(), bytes.size());
        if (written < 0)
            throw std::runtime_error("write to master failed");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string PseudoTerminal::Receive(std::size_t expected, int limitMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::string got;
    while (got.size() < expected) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0)
            break;
        char buffer[4096];
        const ssize_t count =
            read(master_, buffer, std::min(sizeof buffer, expected - got.size()));
        if (count <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
}

int PseudoTerminal::SlaveQueued() const
{
    int queued = 0;
    ioctl(slave_, FIONREAD, &queued);
    return queued;
}

void PseudoTerminal::CloseMaster()
{
    close(master_);
    master_ = -1;
}
