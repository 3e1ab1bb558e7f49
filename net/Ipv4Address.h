#pragma once
// An IPv4 address as datagrams are addressed with it: its four bytes, most significant first,
// the same on every system.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct Ipv4Address {
    std::array<uint8_t, 4> bytes{};

    bool operator==(const Ipv4Address&) const = default;
};

// The address written in a dotted form the system's own parser accepts ("127.0.0.1"); nothing
// when the text is not one, which makes it a host name to be looked up.
std::optional<Ipv4Address> ParseDotted(const std::string& text);

// "a.b.c.d" in decimal.
std::string DottedText(Ipv4Address address);
