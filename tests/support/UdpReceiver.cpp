#include "UdpReceiver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

namespace {

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool ReadableWithin(int socket, int milliseconds)
{
    pollfd ready{socket, POLLIN, 0};
    return ::poll(&ready, 1, milliseconds) == 1;
}

} // namespace

uint16_t BoundPort(int socket)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool Readable(int socket)
{
    return ReadableWithin(socket, 0);
}

UdpReceiver::UdpReceiver(uint16_t port) : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    const sockaddr_in address = Loopback(port);
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        port_ = BoundPort(socket_.get());
}

std::optional<Datagram> UdpReceiver::Receive(std::chrono::milliseconds wait)
{
    if (!ReadableWithin(socket_.get(), static_cast<int>(wait.count())))
        return std::nullopt;
    std::array<char, 70000> buffer;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t count = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0)
        return std::nullopt;
    return Datagram{std::string(buffer.data(), static_cast<std::size_t>(count)), ntohs(from.sin_port)};
}

std::optional<std::string> UdpReceiver::ReceiveRunningEvents(std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    while (!Readable(socket_.get())) {
        if (deadline.hasExpired())
            return std::nullopt;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ReadableWithin(socket_.get(), static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, 5)));
    }
    const auto datagram = Receive(std::chrono::milliseconds(0));
    return datagram ? std::optional(datagram->bytes) : std::nullopt;
}

std::vector<std::string> UdpReceiver::Drain()
{
    std::vector<std::string> datagrams;
    while (const auto datagram = Receive(std::chrono::milliseconds(0)))
        datagrams.push_back(datagram->bytes);
    return datagrams;
}

bool UdpReceiver::Empty() const
{
    return !Readable(socket_.get());
}

void UdpReceiver::SendTo(uint16_t port, const std::string& bytes) const
{
    const sockaddr_in address = Loopback(port);
    ::sendto(socket_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
}
