#include "net/DatagramSocket.h"

#include "net/SocketAddress.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

DatagramSocket DatagramSocket::Open(int& error)
{
    const int created = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (created < 0) {
        error = errno;
        return {};
    }
    // Boards are often reached by their segment's broadcast address (192.168.1.255); Linux
    // refuses such a datagram with EACCES unless the socket says it may broadcast.
    const int broadcast = 1;
    static_cast<void>(::setsockopt(created, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast));
    return DatagramSocket(created);
}

void DatagramSocket::Close()
{
    if (Valid())
        ::close(static_cast<int>(std::exchange(handle_, kNone)));
}

void DatagramSocket::DontLinger()
{
    const linger noLinger{};
    static_cast<void>(::setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger));
}

int DatagramSocket::Bind(uint16_t port, Ipv4Address address)
{
    const sockaddr_in local = SocketAddress(address, port);
    if (::bind(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return errno;
    return 0;
}

DatagramSocket::Endpoint DatagramSocket::Local() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return {FromInAddr(local.sin_addr), ntohs(local.sin_port)};
}

int DatagramSocket::SendTo(std::string_view bytes, Ipv4Address address, uint16_t port)
{
    const sockaddr_in remote = SocketAddress(address, port);
    if (::sendto(static_cast<int>(handle_), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0)
        return errno;
    return 0;
}

std::optional<ReceivedDatagram> DatagramSocket::ReceiveFrom(std::span<char> buffer)
{
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t count = ::recvfrom(static_cast<int>(handle_), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0)
        return std::nullopt;
    return ReceivedDatagram{static_cast<std::size_t>(count), FromInAddr(from.sin_addr), ntohs(from.sin_port)};
}
