#pragma once
// Between the system's address records and the addresses the rest of the program uses.

#include "net/Ipv4Address.h"

// The system's own headers (net/<system>/SystemSockets.h).
#include "SystemSockets.h"

#include <cstring>

inline in_addr ToInAddr(Ipv4Address address)
{
    in_addr converted{};
    static_assert(sizeof converted == sizeof address.bytes);
    std::memcpy(&converted, address.bytes.data(), sizeof converted);
    return converted;
}

inline Ipv4Address FromInAddr(in_addr address)
{
    Ipv4Address converted;
    std::memcpy(converted.bytes.data(), &address, sizeof address);
    return converted;
}

inline sockaddr_in SocketAddress(Ipv4Address address, uint16_t port)
{
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(port);
    record.sin_addr = ToInAddr(address);
    return record;
}
