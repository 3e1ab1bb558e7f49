#pragma once
// The far end of the tests: a datagram socket on 127.0.0.1 that collects what arrives.

#include "os/linux/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Datagram {
    std::string bytes;
    uint16_t fromPort = 0;
};

class UdpReceiver {
public:
    // Port 0 takes any free port; a taken port leaves the receiver unbound.
    explicit UdpReceiver(uint16_t port = 0);

    bool Bound() const { return port_ != 0; }
    uint16_t Port() const { return port_; }

    // The next datagram, waiting in poll alone: the thread's events wait too.
    std::optional<Datagram> Receive(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // The next datagram's bytes, running the thread's events while waiting, so that a window
    // in this thread goes on sending.
    std::optional<std::string> ReceiveRunningEvents(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // The bytes of every datagram already queued, without waiting.
    std::vector<std::string> Drain();
    bool Empty() const;
    void SendTo(uint16_t port, const std::string& bytes) const;

private:
    UniqueFd socket_;
    uint16_t port_ = 0;
};

// The local port a socket is bound to, 0 when it is not bound.
uint16_t BoundPort(int socket);
// A datagram is waiting on the socket.
bool Readable(int socket);
