#include "net/SocketAddress.h"

#include <ws2tcpip.h>

std::optional<Ipv4Address> ParseDotted(const std::string& text)
{
    // inet_addr takes the short forms people type ("127.1") as the other systems do, but answers
    // the limited broadcast address 255.255.255.255 with its failure value: that one is read
    // the strict way.
    in_addr address{};
    address.s_addr = ::inet_addr(text.c_str());
    if (address.s_addr == INADDR_NONE && ::inet_pton(AF_INET, text.c_str(), &address) != 1)
        return std::nullopt;
    return FromInAddr(address);
}
