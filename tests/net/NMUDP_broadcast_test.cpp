// A datagram to a broadcast address reaches the boards of that segment. 127.255.255.255 is the
// broadcast address of the loopback segment: what is sent there reaches every socket bound to
// all local addresses on that port, as a board gets a datagram for 192.168.1.255 on its own
// network. Unicast to 127.0.0.1 is what every other test sends.
#include "net/NMUDP.h"
#include "support/UdpReceiver.h"

#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

TEST(NMUDPBroadcast, ReachesTheBoardsOfTheSegment)
{
    const UniqueFd board(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in everywhere{};
    everywhere.sin_family = AF_INET;
    everywhere.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(board.get(), reinterpret_cast<const sockaddr*>(&everywhere), sizeof everywhere), 0);

    TNMUDP udp(nullptr);
    udp.SetRemoteHost("127.255.255.255");
    udp.SetRemotePort(BoundPort(board.get()));
    udp.SendDatagram("first\r", 6);
    udp.SetLocalPort(0); // the socket made anew may broadcast too
    udp.SendDatagram("second\r", 7);
    for (const std::string expected : {"first\r", "second\r"}) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return Readable(board.get()); }, 5000)) << expected;
        char bytes[64];
        const ssize_t size = ::recv(board.get(), bytes, sizeof bytes, 0);
        ASSERT_GT(size, 0);
        EXPECT_EQ(std::string(bytes, static_cast<std::size_t>(size)), expected);
    }
}
