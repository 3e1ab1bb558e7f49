#include "net/HostLookup.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <stdexcept>

TEST(HostLookup, SystemResolverFindsLocalhostAndRefusesUnknownNames)
{
    const auto localhost = HostLookup::SystemResolver("localhost");
    ASSERT_TRUE(localhost.has_value());
    EXPECT_EQ(localhost->s_addr, htonl(INADDR_LOOPBACK));

    EXPECT_FALSE(HostLookup::SystemResolver("no-such-host.invalid").has_value());
    EXPECT_FALSE(HostLookup::SystemResolver("").has_value());
}

TEST(HostLookup, AFailingNameServiceCountsAsUnknownHost)
{
    const HostLookup lookup([](const std::string&) -> std::optional<in_addr> {
        throw std::runtime_error("name service gone");
    });
    EXPECT_FALSE(lookup.Resolve("anything").has_value());
}

TEST(HostLookup, EachLookupAnswersWithItsOwnName)
{
    const HostLookup lookup([](const std::string& name) -> std::optional<in_addr> {
        in_addr address{};
        if (::inet_aton(name.c_str(), &address) == 0)
            return std::nullopt;
        return address;
    });
    for (const char* name : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        const auto found = lookup.Resolve(name);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->s_addr, ::inet_addr(name));
    }
}
