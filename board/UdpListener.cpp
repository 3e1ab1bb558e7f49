#include "UdpListener.h"

#include "lang/Exceptions.h"
#include "net/posix/NameService.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <system_error>
#include <vector>

namespace board {
namespace {

constexpr std::size_t kLargestDatagram = 65536;
// Datagrams taken per wake-up, so that a flood cannot keep the window from drawing.
constexpr int kBatch = 64;

in_addr Resolve(const std::string& host)
{
    std::string reason;
    if (const auto address = LookUpIPv4(host, &reason))
        return *address;
    throw Exception("Cannot resolve " + host + ": " + reason);
}

} // namespace

UdpListener::UdpListener(const std::string& host, int port, QObject* parent) : QObject(parent)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr = Resolve(host);

    socket_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_.valid())
        throw std::system_error(errno, std::generic_category(), "socket");
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        throw std::system_error(error, std::generic_category(),
                                "Cannot listen on UDP " + host + ":" + std::to_string(port));
    }

    notifier_ = std::make_unique<QSocketNotifier>(socket_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UdpListener::Read);
}

std::string UdpListener::Endpoint() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

int UdpListener::Port() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void UdpListener::Read()
{
    std::vector<char> buffer(kLargestDatagram);
    for (int i = 0; i < kBatch; ++i) {
        const ssize_t count = ::recv(socket_.get(), buffer.data(), buffer.size(), 0);
        if (count < 0)
            return; // drained (EAGAIN), or an error report from an earlier send: nothing to read
        if (OnDatagram)
            OnDatagram(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
    }
}

} // namespace board
