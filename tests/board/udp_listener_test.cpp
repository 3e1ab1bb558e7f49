#include "board/UdpListener.h"

#include "lang/Exceptions.h"

#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <system_error>

using board::UdpListener;

namespace {

void SendTo(int port, const std::string& bytes)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

} // namespace

TEST(UdpListener, HandsOverEachDatagramWholeUpToTheLargest)
{
    UdpListener listener("127.0.0.1", 0);
    ASSERT_GT(listener.Port(), 0);
    EXPECT_EQ(listener.Endpoint(), "127.0.0.1:" + std::to_string(listener.Port()));

    std::vector<std::string> got;
    listener.OnDatagram = [&got](std::string_view datagram) { got.emplace_back(datagram); };
    const std::string largest(65507, 'x');
    SendTo(listener.Port(), "K    5\r");
    SendTo(listener.Port(), "");
    SendTo(listener.Port(), largest);
    ASSERT_TRUE(QTest::qWaitFor([&] { return got.size() == 3; }, 5000)) << got.size();
    EXPECT_EQ(got[0], "K    5\r");
    EXPECT_EQ(got[1], "");
    EXPECT_EQ(got[2], largest);
}

TEST(UdpListener, BusyPortAndBadHostFailWithAReason)
{
    UdpListener first("127.0.0.1", 0);
    try {
        UdpListener second("127.0.0.1", first.Port());
        FAIL() << "two boards on one port";
    } catch (const std::system_error& error) {
        EXPECT_NE(std::string(error.what()).find("Address already in use"), std::string::npos) << error.what();
    }
    EXPECT_THROW(UdpListener("no.such.host.invalid", 0), Exception);
}
