#include "net/SocketAddress.h"

#include <arpa/inet.h>

std::optional<Ipv4Address> ParseDotted(const std::string& text)
{
    in_addr address{};
    if (::inet_aton(text.c_str(), &address) == 0)
        return std::nullopt;
    return FromInAddr(address);
}
