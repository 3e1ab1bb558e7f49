#include "UdpListener.h"

#include "lang/Exceptions.h"
#include "net/NameService.h"

#include <system_error>
#include <vector>

namespace board {
namespace {

constexpr std::size_t kLargestDatagram = 65536;
// Datagrams taken per wake-up, so that a flood cannot keep the window from drawing.
constexpr int kBatch = 64;

Ipv4Address Resolve(const std::string& host)
{
    std::string reason;
    if (const auto address = LookUpIPv4(host, &reason))
        return *address;
    throw Exception("Cannot resolve " + host + ": " + reason);
}

} // namespace

UdpListener::UdpListener(const std::string& host, int port, QObject* parent) : QObject(parent)
{
    const Ipv4Address address = Resolve(host);
    int error = 0;
    socket_ = DatagramSocket::Open(error);
    if (!socket_.Valid())
        throw std::system_error(error, std::generic_category(), "socket");
    if (const int refused = socket_.Bind(static_cast<std::uint16_t>(port), address))
        throw std::system_error(refused, std::generic_category(),
                                "Cannot listen on UDP " + host + ":" + std::to_string(port));

    notifier_ = std::make_unique<QSocketNotifier>(socket_.Handle(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &UdpListener::Read);
}

std::string UdpListener::Endpoint() const
{
    const DatagramSocket::Endpoint local = socket_.Local();
    return DottedText(local.address) + ":" + std::to_string(local.port);
}

int UdpListener::Port() const
{
    return socket_.Local().port;
}

void UdpListener::Read()
{
    std::vector<char> buffer(kLargestDatagram);
    for (int i = 0; i < kBatch; ++i) {
        // Nothing when drained, or for an error report from an earlier send.
        const auto received = socket_.ReceiveFrom(buffer);
        if (!received)
            return;
        if (OnDatagram)
            OnDatagram(std::string_view(buffer.data(), received->count));
    }
}

} // namespace board
