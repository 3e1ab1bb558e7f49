#include "net/NameService.h"

#include "net/HostLookup.h"
#include "net/SocketAddress.h"
#include "net/SocketLayer.h"

#include <memory>

std::optional<Ipv4Address> LookUpIPv4(const std::string& name, std::string* reason)
{
    // Runs on a lookup's own thread, which may outlive the component that started it: the layer
    // is kept started for exactly as long as the name service is asked.
    SocketLayer layer;
    if (const int error = layer.Start(); error != 0) {
        if (reason)
            *reason = "the socket layer did not start (" + std::to_string(error) + ")";
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr) {
        if (reason)
            *reason = error != 0 ? NameServiceText(error) : "no address";
        return std::nullopt;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
    return FromInAddr(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr);
}

std::optional<Ipv4Address> HostLookup::SystemResolver(const std::string& name)
{
    return LookUpIPv4(name);
}
