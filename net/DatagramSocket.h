#pragma once
// One IPv4 datagram socket of the system, closed when dropped. Calls that fail give the system's
// error number: errno, or the socket layer's own number on Windows.

#include "net/Ipv4Address.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

struct ReceivedDatagram {
    std::size_t count = 0;
    Ipv4Address from;
    uint16_t fromPort = 0;
};

class DatagramSocket {
public:
    DatagramSocket() = default;
    ~DatagramSocket() { Close(); }

    DatagramSocket(DatagramSocket&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
    DatagramSocket& operator=(DatagramSocket&& other) noexcept
    {
        Close();
        handle_ = std::exchange(other.handle_, kNone);
        return *this;
    }
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // A new socket that never blocks, may broadcast and is not handed to child processes. An
    // invalid one when the system has none to give, with its error number in `error`.
    static DatagramSocket Open(int& error);

    bool Valid() const { return handle_ != kNone; }
    // The system's descriptor or socket handle, for a QSocketNotifier.
    std::intptr_t Handle() const { return handle_; }

    // Asks the system to close without lingering over unsent data; a refusal changes nothing.
    void DontLinger();
    // Binds to `address` (0.0.0.0: every local address) at `port` (0: a free port of the
    // system's choosing): 0, or the error number the system refused with (the port is taken).
    int Bind(uint16_t port, Ipv4Address address = {});
    // Where the socket is bound; port 0 before a bind.
    struct Endpoint {
        Ipv4Address address;
        uint16_t port = 0;
    };
    Endpoint Local() const;
    // Hands one datagram to the system without waiting: 0, or the error number it was refused with.
    int SendTo(std::string_view bytes, Ipv4Address address, uint16_t port);
    // Takes one waiting datagram off the socket without waiting, cut to the buffer's size.
    // Nothing when none waits or the read fails.
    std::optional<ReceivedDatagram> ReceiveFrom(std::span<char> buffer);

private:
    // Both systems' "no socket" (-1, INVALID_SOCKET) is all ones.
    static constexpr std::intptr_t kNone = -1;

    explicit DatagramSocket(std::intptr_t handle) : handle_(handle) {}
    void Close();

    std::intptr_t handle_ = kNone;
};
