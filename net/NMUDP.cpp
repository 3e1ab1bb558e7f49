#include "net/NMUDP.h"

#include <QPointer>
#include <QSocketNotifier>

#include <array>

namespace {

// Longest host text accepted.
constexpr std::size_t kMaxHostLength = 130;
// The largest datagram the receive path reads; longer ones arrive cut to this size.
constexpr std::size_t kReceiveBufferSize = 2048;

enum StatusLevel : int32_t { slSending = 2, slSocketLayer = 8, slErrorCheck = 16 };

// A text that may go to the name service: not empty, not overlong, no NUL in it. Longer texts
// are refused rather than cut, so that a datagram never goes to a host other than the one typed.
bool IsHostName(const std::string& host)
{
    return !host.empty() && host.size() <= kMaxHostLength && host.find('\0') == std::string::npos &&
           !ParseDotted(host);
}

} // namespace

TNMUDP::TNMUDP(QObject* owner) : QObject(owner)
{
    ReportStatus(slSocketLayer, "Initializing Winsock");
    if (const int error = layer_.Start())
        RaiseSocketError(error);
    socket_ = NewSocket();
    socket_.DontLinger();
    Loaded();
}

TNMUDP::~TNMUDP() = default;

void TNMUDP::SetLocalPort(int32_t port)
{
    // The new socket comes first: when none can be had, the old one keeps serving.
    DatagramSocket fresh = NewSocket();
    readNotifier_.reset();
    socket_ = std::move(fresh);
    localPort_ = port;
    Loaded();
}

DatagramSocket TNMUDP::NewSocket()
{
    int error = 0;
    DatagramSocket created = DatagramSocket::Open(error);
    if (!created.Valid())
        RaiseSocketError(error);
    return created;
}

void TNMUDP::Loaded()
{
    // A refused bind (port taken) is not an error here: the first send then binds the socket
    // to a free port of the system's choosing.
    static_cast<void>(socket_.Bind(static_cast<uint16_t>(localPort_)));

    readNotifier_ = std::make_unique<QSocketNotifier>(socket_.Handle(), QSocketNotifier::Read);
    connect(readNotifier_.get(), &QSocketNotifier::activated, this, &TNMUDP::ReceiveDatagram);
}

void TNMUDP::ReceiveDatagram()
{
    // Read even when nobody listens: an unread datagram would keep the notifier firing.
    std::array<char, kReceiveBufferSize> buffer;
    const auto received = socket_.ReceiveFrom(buffer);
    if (!received || !OnDataReceived)
        return;
    Raise(OnDataReceived, this, static_cast<int32_t>(received->count), DottedText(received->from),
          static_cast<int32_t>(received->fromPort));
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

    // Handlers run below may change the caller's buffer: the bytes are taken now.
    const std::string bytes(buffer, static_cast<std::size_t>(length));
    // A port beyond sixteen bits must not be cut to another port that happens to listen.
    if (remotePort_ < 1 || remotePort_ > 65535)
        throw UDPSockError("Port must be 1-65535");
    const auto port = static_cast<uint16_t>(remotePort_);
    const Ipv4Address remote = ResolveRemoteHost(remoteHost_);
    if (remote == Ipv4Address{})
        throw UDPSockError("Null Remote Address");

    ReportStatus(slSending, "Sending Data");
    if (!alive)
        return;
    // Fire and forget for the caller: a datagram the system refuses or cannot queue right now
    // raises nothing, and a full send queue never blocks. Only a listener hears of it.
    if (const int error = socket_.SendTo(bytes, remote, port)) {
        Raise(OnSendRefused, this, error);
        if (!alive)
            return;
    }
    Raise(OnDataSend, this);
}

void TNMUDP::LookUpRemoteHost(std::chrono::milliseconds wait)
{
    if (!IsHostName(remoteHost_))
        return;
    if (lookup_.Find(remoteHost_).state == HostLookup::State::Pending && wait.count() > 0)
        lookup_.Wait(wait);
}

Ipv4Address TNMUDP::ResolveRemoteHost(const std::string& host)
{
    if (host.empty())
        return {}; // no host at all: reported as a missing address, without a lookup
    if (const auto dotted = ParseDotted(host))
        return *dotted;
    if (!IsHostName(host))
        throw UDPSockError("Host Lookup Canceled");

    HostLookup::Answer answer = lookup_.Find(host);
    if (answer.justFailed && !answer.again && OnInvalidHost) {
        const QPointer<TNMUDP> alive(this);
        bool handled = false;
        Raise(OnInvalidHost, handled);
        if (!alive)
            throw UDPSockError("Host Lookup Canceled");
        if (handled) {
            lookup_.LookUpAgain();
            answer = lookup_.Find(host);
        }
    }
    switch (answer.state) {
    case HostLookup::State::Found: return answer.address;
    case HostLookup::State::Pending: throw UDPSockError("Host Lookup Pending");
    case HostLookup::State::Failed: break;
    }
    throw UDPSockError("Host Lookup Canceled");
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
