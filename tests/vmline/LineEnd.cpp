#include "LineEnd.h"

#include "os/SystemText.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

// QEMU creates the socket once it runs; a bounded wait for it to appear and take connections.
UniqueFd ConnectUnix(const std::string& path, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (;;) {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        const int error = errno;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error(path + ": " + SystemText(error));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<TakenLine> TakenLines(const std::string& bytes,
                                  const std::vector<std::chrono::system_clock::time_point>& arrivals)
{
    std::vector<TakenLine> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r') {
            lines.push_back({bytes.substr(start, i - start), arrivals[i]});
            start = i + 1;
        }
    }
    return lines;
}

namespace {

// A socket pair: the host's end closed on exec, QEMU's end inherited and with the smallest send
// buffer the kernel allows (a few single-byte writes).
std::pair<UniqueFd, UniqueFd> SocketPair()
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        throw std::runtime_error("socketpair: " + SystemText(errno));
    UniqueFd host(ends[0]);
    UniqueFd qemu(ends[1]);
    ::fcntl(host.get(), F_SETFD, FD_CLOEXEC);
    const int smallest = 1;
    ::setsockopt(qemu.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
    return {std::move(host), std::move(qemu)};
}

} // namespace

LineEnd::LineEnd()
{
    auto [host, qemu] = SocketPair();
    socket_ = std::move(host);
    qemuEnd_ = std::move(qemu);
    reader_ = std::thread([this] { Read(); });
}

LineEnd::~LineEnd()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    reader_.join();
}

void LineEnd::SetPace(double bytesPerSecond)
{
    {
        std::lock_guard lock(mutex_);
        pace_ = bytesPerSecond;
    }
    changed_.notify_all();
}

void LineEnd::SetEcho(bool echo)
{
    std::lock_guard lock(mutex_);
    echo_ = echo;
}

void LineEnd::Send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(socket_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("send: " + SystemText(errno));
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
}

std::string LineEnd::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t LineEnd::ReceivedCount() const
{
    std::lock_guard lock(mutex_);
    return received_.size();
}

std::vector<LineEnd::Line> LineEnd::Lines() const
{
    std::lock_guard lock(mutex_);
    return TakenLines(received_, arrivals_);
}

void LineEnd::Clear()
{
    std::lock_guard lock(mutex_);
    received_.clear();
    arrivals_.clear();
}

std::size_t LineEnd::Waiting() const
{
    int count = 0;
    return ::ioctl(socket_.get(), FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
}

bool LineEnd::WaitForBytes(std::size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
}

void LineEnd::Read()
{
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        double pace = 0;
        {
            std::unique_lock lock(mutex_);
            if (stopping_)
                return;
            pace = pace_;
            if (pace == 0) {
                changed_.wait_for(lock, std::chrono::milliseconds(20));
                next = std::chrono::steady_clock::now();
                continue;
            }
        }
        pollfd p{socket_.get(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(socket_.get(), buffer, pace < 0 ? sizeof buffer : 1);
        if (n <= 0) {
            // QEMU went away: nothing more will come.
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_; });
            return;
        }
        bool echo = false;
        {
            std::lock_guard lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(n));
            arrivals_.insert(arrivals_.end(), static_cast<std::size_t>(n), Clock::now());
            echo = echo_;
        }
        changed_.notify_all();
        if (echo)
            Send(std::string(buffer, static_cast<std::size_t>(n)));
        if (pace > 0) {
            // A far end that takes one byte every 1/pace seconds, without catching up on the
            // time it spent waiting for bytes.
            const auto now = std::chrono::steady_clock::now();
            next = std::max(next, now - std::chrono::milliseconds(50)) +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(1.0 / pace));
            std::this_thread::sleep_until(next);
        }
    }
}
