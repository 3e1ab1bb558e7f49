#include "net/HostLookup.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(HostLookup, SystemResolverFindsLocalhostAndRefusesUnknownNames)
{
    const auto localhost = HostLookup::SystemResolver("localhost");
    ASSERT_TRUE(localhost.has_value());
    EXPECT_EQ(*localhost, (Ipv4Address{{127, 0, 0, 1}}));

    EXPECT_FALSE(HostLookup::SystemResolver("no-such-host.invalid").has_value());
    EXPECT_FALSE(HostLookup::SystemResolver("").has_value());
}

TEST(HostLookup, AFailingNameServiceCountsAsUnknownHost)
{
    HostLookup lookup([](const std::string&) -> std::optional<Ipv4Address> {
        throw std::runtime_error("name service gone");
    });
    EXPECT_EQ(lookup.Find("anything").state, HostLookup::State::Pending);
    lookup.Wait(std::chrono::seconds(10));
    EXPECT_EQ(lookup.Find("anything").state, HostLookup::State::Failed);
}
