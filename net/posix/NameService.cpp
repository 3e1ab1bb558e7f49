#include "net/posix/NameService.h"

#include "net/HostLookup.h"
#include "net/posix/SocketAddress.h"

#include <netdb.h>
#include <sys/socket.h>

#include <memory>

std::optional<in_addr> LookUpIPv4(const std::string& name, std::string* reason)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr) {
        if (reason)
            *reason = error != 0 ? ::gai_strerror(error) : "no address";
        return std::nullopt;
    }
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
