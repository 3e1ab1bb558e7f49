#include "net/NMUDP.h"

#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

namespace {

// Longest host text accepted; longer texts are refused rather than cut, so that a datagram
// never goes to a host other than the one typed.
constexpr std::size_t kMaxHostLength = 130;
// The largest datagram the receive path reads; longer ones arrive cut to this size.
constexpr std::size_t kReceiveBufferSize = 2048;

enum StatusLevel : int32_t { slSending = 2, slSocketLayer = 8, slErrorCheck = 16 };

} // namespace

TNMUDP::TNMUDP(QObject* owner) : QObject(owner)
{
    ReportStatus(slSocketLayer, "Initializing Winsock");
    socket_ = NewSocket();
    const linger noLinger{};
    static_cast<void>(::setsockopt(socket_.get(), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger));
    Loaded();
}

TNMUDP::~TNMUDP() = default;

void TNMUDP::SetLocalPort(int32_t port)
{
    // The new socket comes first: when none can be had, the old one keeps serving.
    UniqueFd fresh = NewSocket();
    readNotifier_.reset();
    socket_ = std::move(fresh);
    localPort_ = port;
    Loaded();
}

UniqueFd TNMUDP::NewSocket()
{
    UniqueFd created(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!created.valid())
        RaiseSocketError(errno);
    // Boards are often reached by their segment's broadcast address (192.168.1.255); Linux
    // refuses such a datagram with EACCES unless the socket says it may broadcast.
    const int broadcast = 1;
    static_cast<void>(::setsockopt(created.get(), SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast));
    return created;
}

void TNMUDP::Loaded()
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(localPort_));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    // A refused bind (port taken) is not an error here: the first send then binds the socket
    // to a free port of the system's choosing.
    static_cast<void>(::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local));

    readNotifier_ = std::make_unique<QSocketNotifier>(socket_.get(), QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &TNMUDP::ReceiveDatagram);
}

void TNMUDP::ReceiveDatagram()
{
    // Read even when nobody listens: an unread datagram would keep the notifier firing.
    std::array<char, kReceiveBufferSize> buffer;
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t count = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (count < 0 || !OnDataReceived)
        return;
    std::array<char, INET_ADDRSTRLEN> fromIp{};
    ::inet_ntop(AF_INET, &from.sin_addr, fromIp.data(), fromIp.size());
    Raise(OnDataReceived, this, static_cast<int32_t>(count), std::string(fromIp.data()),
          static_cast<int32_t>(ntohs(from.sin_port)));
}

void TNMUDP::SendDatagram(const char* buffer, int length)
{
    // Handlers run below may destroy this component; nothing of it is touched afterwards.
    const QPointer<TNMUDP> alive(this);
    if (length == 0 && OnBufferInvalid) {
        bool handled = false;
        Raise(OnBufferInvalid, handled, buffer, length);
        if (!handled || !alive)
            throw Exception("Invalid buffer");
    }
    if (length <= 0 || buffer == nullptr)
        throw Exception("Invalid buffer");

    // A host-name lookup runs the caller's events, and those may send again, change the
    // destination or reuse the caller's buffer: everything this send needs is taken now.
    const std::string bytes(buffer, static_cast<std::size_t>(length));
    const std::string host = remoteHost_;
    const auto port = static_cast<uint16_t>(remotePort_);

    sockaddr_in remote{};
    remote.sin_addr = ResolveRemoteHost(host);
    if (!alive)
        throw UDPSockError("Host Lookup Canceled");
    if (remote.sin_addr.s_addr == htonl(INADDR_ANY))
        throw UDPSockError("Null Remote Address");

    ReportStatus(slSending, "Sending Data");
    if (!alive)
        return;
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    // Fire and forget for the caller: a datagram the system refuses or cannot queue right now
    // raises nothing, and a full send queue never blocks. Only a listener hears of it.
    if (::sendto(socket_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&remote), sizeof remote) < 0) {
        Raise(OnSendRefused, this, errno);
        if (!alive)
            return;
    }
    Raise(OnDataSend, this);
}

in_addr TNMUDP::ResolveRemoteHost(const std::string& host)
{
    in_addr address{};
    if (host.empty())
        return address; // no host at all: reported as a missing address, without a lookup
    if (host.size() > kMaxHostLength || host.find('\0') != std::string::npos)
        throw UDPSockError("Host Lookup Canceled");
    if (::inet_aton(host.c_str(), &address) != 0)
        return address;

    const QPointer<TNMUDP> alive(this);
    for (bool firstTry = true;; firstTry = false) {
        ++lookupsWaiting_;
        const auto found = lookup_.Resolve(host);
        if (alive)
            --lookupsWaiting_;
        if (found)
            return *found;
        // The events run during the lookup may have destroyed this component.
        if (!alive || !firstTry || !OnInvalidHost)
            throw UDPSockError("Host Lookup Canceled");
        bool handled = false;
        Raise(OnInvalidHost, handled);
        if (!handled || !alive)
            throw UDPSockError("Host Lookup Canceled");
    }
}

void TNMUDP::ReportStatus(int32_t level, const std::string& text)
{
    if (level > reportLevel_)
        return;
    lastStatus_ = text;
    Raise(OnStatus, this, text);
}

void TNMUDP::RaiseSocketError(int error)
{
    ReportStatus(slErrorCheck, "Checking Error In Error Manager");
    const std::string text = "Unknown Error No. " + std::to_string(error);
    ReportStatus(slSocketLayer, "Looking Up Error Message" + text);
    throw UDPSockError(text);
}
