#include "net/UdpEndpoint.h"

#include <gtest/gtest.h>

TEST(UdpEndpoint, SplitsHostAndPort)
{
    const auto endpoint = SplitEndpoint("localhost:51810");
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->host, "localhost");
    EXPECT_EQ(endpoint->port, 51810);
    EXPECT_EQ(SplitEndpoint("::1:0")->host, "::1") << "the last colon separates";
    for (const char* bad : {"", ":1", "host", "host:", "host:-1", "host:65536", "host:1x", "host:+1"})
        EXPECT_FALSE(SplitEndpoint(bad)) << bad;
}
