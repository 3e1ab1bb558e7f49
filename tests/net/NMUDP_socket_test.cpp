#include "net/NMUDP.h"
#include "support/ProcessCounts.h"
#include "support/UdpReceiver.h"

#include <QtTest/QTest>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Lowers the process's descriptor limit to nothing for the life of the object, so that no new
// socket can be had.
class NoNewDescriptors {
public:
    NoNewDescriptors()
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit none = saved_;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoNewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

struct Received {
    QObject* sender;
    int32_t count;
    std::string fromIp;
    int32_t port;
};

} // namespace

TEST(NMUDPSocket, DatagramToOwnPortIsReadAndDroppedWithoutHandler)
{
    TNMUDP udp(nullptr);
    UdpReceiver peer;
    peer.SendTo(BoundPort(udp.Handle()), "echo");
    // Nothing to see but that the datagram was taken off the socket.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Readable(udp.Handle()); }));
}

TEST(NMUDPSocket, DataReceivedReportsCountSenderAddressAndPort)
{
    TNMUDP udp(nullptr);
    std::vector<Received> received;
    udp.OnDataReceived = [&](QObject* sender, int32_t count, const std::string& fromIp, int32_t port) {
        received.push_back({sender, count, fromIp, port});
    };
    UdpReceiver peer;
    const uint16_t own = BoundPort(udp.Handle());
    peer.SendTo(own, "hello");
    peer.SendTo(own, std::string(3000, 'x'));
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }));

    EXPECT_EQ(received[0].sender, &udp);
    EXPECT_EQ(received[0].count, 5);
    EXPECT_EQ(received[0].fromIp, "127.0.0.1");
    EXPECT_EQ(received[0].port, peer.Port());
    EXPECT_EQ(received[1].count, 2048) << "longer datagrams are cut to the receive buffer";
}

TEST(NMUDPSocket, ConstructionAndDestructionLeakNoDescriptors)
{
    { TNMUDP warmUp(nullptr); } // lets Qt open its own descriptors once
    const std::size_t before = OpenDescriptors();
    for (int i = 0; i < 1000; ++i) {
        QObject owner;
        new TNMUDP(&owner);
    }
    EXPECT_EQ(OpenDescriptors(), before);

    TNMUDP udp(nullptr);
    for (int i = 0; i < 100; ++i)
        udp.SetLocalPort(0);
    EXPECT_EQ(OpenDescriptors(), before + 1);
}

TEST(NMUDPSocket, LocalPortRebindsAndKeepsReceiving)
{
    TNMUDP udp(nullptr);
    std::vector<int32_t> senders;
    udp.OnDataReceived = [&](QObject*, int32_t, const std::string&, int32_t port) {
        senders.push_back(port);
    };
    UdpReceiver peer;

    // A port just given up by a probe socket is free to take, unless a program running beside
    // this one takes it first: then another is tried.
    uint16_t wanted = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        wanted = UdpReceiver().Port();
        udp.SetLocalPort(wanted);
        if (BoundPort(udp.Handle()) == wanted)
            break;
    }
    EXPECT_EQ(udp.LocalPort(), wanted);
    ASSERT_EQ(BoundPort(udp.Handle()), wanted);
    peer.SendTo(wanted, "to the new port");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::count(senders.begin(), senders.end(), peer.Port()) == 1; }));
}

TEST(NMUDPSocket, TakenLocalPortStillLetsDatagramsLeave)
{
    UdpReceiver occupant;
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    udp.SetLocalPort(occupant.Port());
    EXPECT_EQ(udp.LocalPort(), occupant.Port());
    udp.SetRemoteHost("127.0.0.1");
    udp.SetRemotePort(receiver.Port());
    udp.SendDatagram("x\r", 2);
    const auto datagram = receiver.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_NE(datagram->fromPort, occupant.Port());
}

// Socket creation is made to fail by leaving the process no descriptors. The sanitizers' type
// checks need descriptors of their own and report false errors then, so these run in the plain
// build only.
class NMUDPNoSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "needs a build without sanitizers";
#endif
    }
};

TEST_F(NMUDPNoSocket, ConstructionRaisesTheErrorNumber)
{
    const NoNewDescriptors limit;
    try {
        TNMUDP udp(nullptr);
        ADD_FAILURE() << "constructed without a socket";
    } catch (const UDPSockError& error) {
        EXPECT_EQ(error.Message(), "Unknown Error No. " + std::to_string(EMFILE));
    }
}

TEST_F(NMUDPNoSocket, LocalPortWriteRaisesTheErrorNumberAndKeepsTheOldSocket)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    const uint16_t before = BoundPort(udp.Handle());
    std::vector<std::string> texts;
    udp.SetReportLevel(16);
    udp.OnStatus = [&](QObject*, const std::string& text) { texts.push_back(text); };
    try {
        const NoNewDescriptors limit;
        udp.SetLocalPort(1234);
        ADD_FAILURE() << "rebound without a socket";
    } catch (const UDPSockError& error) {
        EXPECT_EQ(error.Message(), "Unknown Error No. " + std::to_string(EMFILE));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Checking Error In Error Manager",
                                               "Looking Up Error MessageUnknown Error No. " +
                                                   std::to_string(EMFILE)}));
    EXPECT_EQ(udp.LocalPort(), 0) << "the port is kept only with a socket to bind";

    EXPECT_EQ(BoundPort(udp.Handle()), before);
    udp.SetRemoteHost("127.0.0.1");
    udp.SetRemotePort(receiver.Port());
    udp.SendDatagram("x\r", 2);
    EXPECT_TRUE(receiver.Receive().has_value());
}
