#pragma once
// Looks a host name up without freezing the calling thread: the name service runs on a worker
// thread while the caller keeps processing its own events until the answer is back.

#include "net/Ipv4Address.h"

#include <functional>
#include <optional>
#include <string>

class HostLookup {
public:
    // Answers the first IPv4 address of a name, or nothing. Runs on a worker thread that may
    // outlive the caller, so it must own everything it uses.
    using Resolver = std::function<std::optional<Ipv4Address>(const std::string& name)>;

    // The system's name service, on the calling thread.
    static std::optional<Ipv4Address> SystemResolver(const std::string& name);

    explicit HostLookup(Resolver resolver = SystemResolver) : resolver_(std::move(resolver)) {}

    // Waits until the name service answers, running the calling thread's events meanwhile.
    // Nothing when the name is unknown, or when the application quits before the answer.
    std::optional<Ipv4Address> Resolve(const std::string& name) const;

private:
    Resolver resolver_;
};
