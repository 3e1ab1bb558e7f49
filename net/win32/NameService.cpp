#include "net/win32/NameService.h"

#include "net/HostLookup.h"
#include "net/SocketLayer.h"
#include "net/win32/SocketAddress.h"

#include <ws2tcpip.h>

#include <memory>

std::optional<in_addr> LookUpIPv4(const std::string& name)
{
    // Runs on a lookup's own thread, which may outlive the component that started it: the
    // layer is kept started for exactly as long as the name service is asked.
    SocketLayer layer;
    if (layer.Start() != 0)
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
    return reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
}

std::optional<Ipv4Address> HostLookup::SystemResolver(const std::string& name)
{
    const auto address = LookUpIPv4(name);
    if (!address)
        return std::nullopt;
    return FromInAddr(*address);
}
