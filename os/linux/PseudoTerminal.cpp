#include "os/linux/PseudoTerminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>

namespace {

[[noreturn]] void Fail(const char* operation)
{
    throw std::system_error(errno, std::generic_category(), operation);
}

} // namespace

PseudoTerminal::PseudoTerminal(MasterMode mode)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        Fail("openpty");
    master_.reset(master);
    slave_.reset(slave);
    slavePath_ = name;
    for (const int fd : {master, slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (mode == MasterMode::NonBlocking)
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
}

void PseudoTerminal::Send(std::string_view bytes) const
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(master_.get(), bytes.data(), bytes.size());
        if (written < 0)
            Fail("write to the master");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::string PseudoTerminal::Receive(std::size_t expected, int limitMs) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::string got;
    while (got.size() < expected && master_.valid()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{master_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0)
            break;
        char buffer[4096];
        const ssize_t count = ::read(master_.get(), buffer, std::min(sizeof buffer, expected - got.size()));
        if (count <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
}

int PseudoTerminal::SlaveQueued() const
{
    int queued = 0;
    ::ioctl(slave_.get(), FIONREAD, &queued);
    return queued;
}
