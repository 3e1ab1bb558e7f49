#pragma once
// Receives datagrams on one IPv4 address and port and hands each one over whole, up to the
// largest size UDP carries.

#include "lang/Closure.h"
#include "net/DatagramSocket.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <string>
#include <string_view>

namespace board {

class UdpListener : public QObject {
    Q_OBJECT
public:
    // `host` is a dotted address or a name; port 0 takes any free port. Throws Exception for a
    // host it cannot resolve, std::system_error when the socket cannot be had.
    UdpListener(const std::string& host, int port, QObject* parent = nullptr);

    // Where it listens, as "address:port" with the port actually bound.
    std::string Endpoint() const;
    int Port() const;

    Closure<std::string_view> OnDatagram;

private:
    void Read();

    DatagramSocket socket_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace board
