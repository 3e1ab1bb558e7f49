#include "net/DatagramSocket.h"

#include "net/SocketAddress.h"

#include <winsock2.h>

#include <mswsock.h>

namespace {

SOCKET Socket(std::intptr_t handle)
{
    return static_cast<SOCKET>(handle);
}

} // namespace

DatagramSocket DatagramSocket::Open(int& error)
{
    const SOCKET created = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (created == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return {};
    }
    DatagramSocket opened(static_cast<std::intptr_t>(created));
    // Sockets are inherited by every program started from here (a browser, a mail program)
    // unless told otherwise, and would keep the local port taken after this one has ended.
    static_cast<void>(::SetHandleInformation(reinterpret_cast<HANDLE>(created), HANDLE_FLAG_INHERIT, 0));
    u_long nonBlocking = 1;
    static_cast<void>(::ioctlsocket(created, FIONBIO, &nonBlocking));
    // Boards are often reached by their segment's broadcast address (192.168.1.255), which the
    // system refuses to a socket that has not said it may broadcast.
    const BOOL broadcast = TRUE;
    static_cast<void>(::setsockopt(created, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&broadcast),
                                   sizeof broadcast));
    // A board that is off answers a datagram with an ICMP "port unreachable", which Windows
    // would report as WSAECONNRESET on the socket's next call: a sender has nothing to learn
    // from it, and a receiver would wake for nothing.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    static_cast<void>(::WSAIoctl(created, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets,
                                 nullptr, 0, &returned, nullptr, nullptr));
    return opened;
}

void DatagramSocket::Close()
{
    if (Valid())
        ::closesocket(Socket(std::exchange(handle_, kNone)));
}

void DatagramSocket::DontLinger()
{
    const BOOL dontLinger = TRUE;
    static_cast<void>(::setsockopt(Socket(handle_), SOL_SOCKET, SO_DONTLINGER,
                                   reinterpret_cast<const char*>(&dontLinger), sizeof dontLinger));
}

int DatagramSocket::Bind(uint16_t port, Ipv4Address address)
{
    const sockaddr_in local = SocketAddress(address, port);
    if (::bind(Socket(handle_), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return ::WSAGetLastError();
    return 0;
}

DatagramSocket::Endpoint DatagramSocket::Local() const
{
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(Socket(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return {FromInAddr(local.sin_addr), ntohs(local.sin_port)};
}

int DatagramSocket::SendTo(std::string_view bytes, Ipv4Address address, uint16_t port)
{
    const sockaddr_in remote = SocketAddress(address, port);
    if (::sendto(Socket(handle_), bytes.data(), static_cast<int>(bytes.size()), 0,
                 reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == SOCKET_ERROR)
        return ::WSAGetLastError();
    return 0;
}

std::optional<ReceivedDatagram> DatagramSocket::ReceiveFrom(std::span<char> buffer)
{
    sockaddr_in from{};
    int fromLength = sizeof from;
    int count = ::recvfrom(Socket(handle_), buffer.data(), static_cast<int>(buffer.size()), 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count == SOCKET_ERROR) {
        // A longer datagram fills the buffer and is taken off all the same, but Windows calls
        // that a failure; elsewhere it is a read of the buffer's size.
        if (::WSAGetLastError() != WSAEMSGSIZE)
            return std::nullopt;
        count = static_cast<int>(buffer.size());
    }
    return ReceivedDatagram{static_cast<std::size_t>(count), FromInAddr(from.sin_addr), ntohs(from.sin_port)};
}
