#include "AppTestSupport.h"


#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// Milliseconds left until the deadline, for poll.
int Remaining(const QDeadlineTimer& deadline)
{
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

bool Readable(int fd, int milliseconds)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0 && (entry.revents & POLLIN);
}

} // namespace

UdpReceiver::UdpReceiver(int port)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd_);
        throw std::runtime_error("bind failed");
    }
    port_ = ntohs(address.sin_port);
}

UdpReceiver::~UdpReceiver()
{
    ::close(fd_);
}

std::optional<std::string> UdpReceiver::Next(std::chrono::milliseconds limit)
{
    QDeadlineTimer deadline(limit);
    while (!Readable(fd_, 0)) {
        if (deadline.hasExpired())
            return std::nullopt;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Readable(fd_, std::min(5, Remaining(deadline)));
    }
    std::string datagram(65536, '\0');
    const ssize_t size = ::recv(fd_, datagram.data(), datagram.size(), 0);
    datagram.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return datagram;
}

std::vector<std::string> UdpReceiver::Drain()
{
    std::vector<std::string> datagrams;
    while (Readable(fd_, 0))
        datagrams.push_back(*Next(std::chrono::milliseconds(0)));
    return datagrams;
}

VirtualComPort::VirtualComPort(const PortsDirectory& directory, int number) : number_(number)
{
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Raw, so that the carriage returns of the lines arrive as they were written.
    termios settings{};
    ::tcgetattr(slave_, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave_, TCSANOW, &settings);
    directory.Link(number, name);
}

VirtualComPort::~VirtualComPort()
{
    CloseMaster();
    ::close(slave_);
}

std::string VirtualComPort::Read(std::size_t count, std::chrono::milliseconds limit)
{
    std::string bytes;
    QDeadlineTimer deadline(limit);
    while (bytes.size() < count && master_ >= 0) {
        if (Readable(master_, 0)) {
            char buffer[4096];
            const ssize_t size = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (size <= 0)
                break;
            bytes.append(buffer, static_cast<std::size_t>(size));
            continue;
        }
        if (deadline.hasExpired())
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        Readable(master_, std::min(5, Remaining(deadline)));
    }
    return bytes;
}

std::string VirtualComPort::ReadAvailable(std::chrono::milliseconds quiet)
{
    std::string bytes;
    for (;;) {
        std::string more = Read(4096, quiet);
        if (more.empty())
            return bytes;
        bytes += more;
    }
}

unsigned VirtualComPort::CharacterSize() const
{
    termios settings{};
    ::tcgetattr(slave_, &settings);
    switch (settings.c_cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

bool VirtualComPort::TwoStopBits() const
{
    termios settings{};
    ::tcgetattr(slave_, &settings);
    return (settings.c_cflag & CSTOPB) != 0;
}

void VirtualComPort::CloseMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}
