#pragma once
// Where datagrams go to, or are listened for: a host and a port, written "HOST:PORT". The window,
// its command line and the virtual board read it by the same rule.

#include <optional>
#include <string>
#include <string_view>

// The port the window sends to and the virtual board listens on unless told otherwise.
inline constexpr int kDefaultUdpPort = 51810;

struct UdpEndpoint {
    std::string host;
    int port = 0;
};

// Splits "HOST:PORT" at its last colon. Nothing when the host is empty or the port is not a
// whole number from 0 to 65535; 0 is left to the caller (a listener takes any free port then,
// while nothing can be sent to it).
std::optional<UdpEndpoint> SplitEndpoint(std::string_view text);
