#pragma once
// TNMUDP: sends texts as single UDP datagrams to a host and port, and reads (and normally drops)
// whatever arrives at its own local port.

#include "net/DatagramSocket.h"
#include "net/HostLookup.h"
#include "net/SocketLayer.h"
#include "lang/Closure.h"
#include "lang/Exceptions.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class QSocketNotifier;

class UDPSockError : public Exception {
public:
    using Exception::Exception;
};

using TNotifyEvent = Closure<QObject*>;
using TOnReceive = Closure<QObject* /*Sender*/, int32_t /*NumberBytes*/, const std::string& /*FromIP*/,
                           int32_t /*Port*/>;
using TOnStatus = Closure<QObject* /*Sender*/, const std::string& /*status*/>;
using THandlerEvent = Closure<bool& /*handled*/>;
using TBuffInvalid = Closure<bool& /*handled*/, const char*& /*Buff*/, int32_t& /*length*/>;
using TOnSendRefused = Closure<QObject* /*Sender*/, int /*error*/>;

class TNMUDP : public QObject {
    Q_OBJECT
public:
    // Throws UDPSockError when the socket cannot be created.
    explicit TNMUDP(QObject* owner);
    ~TNMUDP() override;

    TNMUDP(const TNMUDP&) = delete;
    TNMUDP& operator=(const TNMUDP&) = delete;

    void SetRemoteHost(std::string host) { remoteHost_ = std::move(host); }
    std::string RemoteHost() const { return remoteHost_; }
    void SetRemotePort(int32_t port) { remotePort_ = port; }
    int32_t RemotePort() const { return remotePort_; }
    // Re-creates the socket and binds it to the port (0: any free port). Throws UDPSockError
    // when no new socket can be created; the old one stays then.
    void SetLocalPort(int32_t port);
    int32_t LocalPort() const { return localPort_; }
    void SetReportLevel(int32_t level) { reportLevel_ = level; }
    int32_t ReportLevel() const { return reportLevel_; }
    std::string LastStatus() const { return lastStatus_; }
    // The datagram socket's descriptor (its socket handle on Windows).
    qintptr Handle() const { return socket_.Handle(); }

    // Sends the first `length` bytes of `buffer` as one datagram to RemoteHost:RemotePort.
    // Never waits for a name service: a host name not yet looked up is looked up meanwhile and
    // this datagram is dropped ("Host Lookup Pending"); its address is kept for the sends that
    // follow. Raises Exception ("Invalid buffer") or UDPSockError; nothing is sent then.
    void SendDatagram(const char* buffer, int length);

    // Starts looking RemoteHost up, when it is a name not yet known, ahead of the first send,
    // and waits up to `wait` for the answer (without running events).
    void LookUpRemoteHost(std::chrono::milliseconds wait = {});

    // Replaces the name service used for host names that are not dotted addresses.
    void SetResolver(HostLookup::Resolver resolver, HostLookup::ClockReader clock = HostLookup::Clock::now)
    {
        lookup_ = HostLookup(std::move(resolver), std::move(clock));
    }

    TOnReceive OnDataReceived;
    TNotifyEvent OnDataSend;
    TOnStatus OnStatus;
    THandlerEvent OnInvalidHost;
    TBuffInvalid OnBufferInvalid;
    // The system refused a datagram (its error number, as SystemText takes it). The send itself
    // still raises nothing: whoever must know that every datagram left listens here.
    TOnSendRefused OnSendRefused;

private:
    DatagramSocket NewSocket();
    void Loaded();
    void ReceiveDatagram();
    void ReportStatus(int32_t level, const std::string& text);
    [[noreturn]] void RaiseSocketError(int error);
    Ipv4Address ResolveRemoteHost(const std::string& host);

    std::string remoteHost_;
    int32_t remotePort_ = 0;
    int32_t localPort_ = 0;
    int32_t reportLevel_ = 1;
    std::string lastStatus_;
    HostLookup lookup_;
    // Declared before the socket: the layer stops only after the socket has closed.
    SocketLayer layer_;
    DatagramSocket socket_;
    // Declared after the socket so that it stops watching before the socket closes.
    std::unique_ptr<QSocketNotifier> readNotifier_;
};
