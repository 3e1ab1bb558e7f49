#include "net/NMUDP.h"
#include "support/UdpReceiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

namespace {

// A display line with its carriage return, as the window sends it.
const std::string kLine = "   C 12:34:56.789 12  \r";

// Names never reach a name service in these tests: every lookup is counted and fails.
class SendTest : public ::testing::Test {
protected:
    SendTest()
    {
        udp.SetResolver([count = lookups](const std::string&) -> std::optional<Ipv4Address> {
            ++*count;
            return std::nullopt;
        });
        udp.SetRemoteHost("127.0.0.1");
        udp.SetRemotePort(receiver.Port());
    }

    void ExpectRefused(const std::string& message, const char* buffer, int length)
    {
        try {
            udp.SendDatagram(buffer, length);
            ADD_FAILURE() << "sent although " << message << " was expected";
        } catch (const Exception& error) {
            EXPECT_EQ(error.Message(), message);
        }
        EXPECT_FALSE(receiver.Receive(std::chrono::milliseconds(0)).has_value());
    }

    std::shared_ptr<std::atomic<int>> lookups = std::make_shared<std::atomic<int>>(0);
    UdpReceiver receiver;
    TNMUDP udp{nullptr};
};

} // namespace

TEST_F(SendTest, EverySendIsOneDatagramWithExactlyTheGivenBytes)
{
    ASSERT_EQ(kLine.size(), 23u);
    const std::string withNul("A\0B\r", 4);
    std::vector<QObject*> senders;
    udp.OnDataSend = [&](QObject* sender) {
        EXPECT_FALSE(receiver.Empty()) << "raised only after the datagram left";
        senders.push_back(sender);
    };
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    udp.SendDatagram(withNul.data(), static_cast<int>(withNul.size()));
    udp.SendDatagram(kLine.data(), 5);

    for (const std::string& expected : {kLine, withNul, kLine.substr(0, 5)}) {
        const auto datagram = receiver.Receive();
        ASSERT_TRUE(datagram.has_value());
        EXPECT_EQ(datagram->bytes, expected);
        EXPECT_EQ(datagram->fromPort, BoundPort(udp.Handle()));
    }
    EXPECT_TRUE(receiver.Empty());
    EXPECT_EQ(senders, std::vector<QObject*>(3, &udp));
    EXPECT_EQ(*lookups, 0) << "a dotted address needs no lookup";
}

TEST_F(SendTest, HandlersMayReplaceThemselvesWhileRunning)
{
    // Each first handler still reads its own captured text after replacing itself: the memory
    // checker catches a handler that was destroyed under its own feet.
    std::vector<std::string> seen;
    udp.SetReportLevel(2);
    udp.OnStatus = [&, name = std::string(40, 'f')](QObject*, const std::string& text) {
        udp.OnStatus = [&, name = std::string(40, 's')](QObject*, const std::string& t) {
            seen.push_back(name.substr(0, 1) + t);
        };
        seen.push_back(name.substr(0, 1) + text);
    };
    udp.OnDataSend = [&, name = std::string(40, 'F')](QObject*) {
        udp.OnDataSend = [&, name = std::string(40, 'S')](QObject*) {
            seen.push_back(name.substr(0, 1));
        };
        seen.push_back(name.substr(0, 1));
    };
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    EXPECT_EQ(seen, (std::vector<std::string>{"fSending Data", "F", "sSending Data", "S"}));
}

TEST_F(SendTest, PortsOutsideOneTo65535AreRefusedNotCut)
{
    // 70000 cut to sixteen bits would be 4464.
    UdpReceiver at4464(4464);
    for (const int32_t port : {70000, 65536, 0, -1}) {
        udp.SetRemotePort(port);
        ExpectRefused("Port must be 1-65535", kLine.data(), static_cast<int>(kLine.size()));
    }
    EXPECT_TRUE(!at4464.Bound() || at4464.Empty());
    udp.SetRemotePort(receiver.Port());
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    EXPECT_TRUE(receiver.Receive().has_value());
}

TEST_F(SendTest, ADatagramTheSystemRefusesRaisesNothingButItsListenerHears)
{
    std::vector<int> refused;
    udp.OnSendRefused = [&](QObject*, int error) { refused.push_back(error); };
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    const std::string tooLong(70000, 'x'); // more than one datagram can hold
    EXPECT_NO_THROW(udp.SendDatagram(tooLong.data(), static_cast<int>(tooLong.size())));
    EXPECT_EQ(refused, std::vector<int>{EMSGSIZE});
}

TEST_F(SendTest, EmptyOrBrokenBuffersAreRefusedAsInvalid)
{
    ExpectRefused("Invalid buffer", kLine.data(), 0);
    ExpectRefused("Invalid buffer", kLine.data(), -1);
    ExpectRefused("Invalid buffer", nullptr, 5);
    try {
        udp.SendDatagram(kLine.data(), 0);
    } catch (const UDPSockError&) {
        ADD_FAILURE() << "an invalid buffer is not a socket error";
    } catch (const Exception&) {
    }
}

TEST_F(SendTest, BufferInvalidHandlerGetsOneChanceToSupplyData)
{
    const std::string supplied = "supplied\r";
    int calls = 0;
    udp.OnBufferInvalid = [&](bool& handled, const char*& buffer, int32_t& length) {
        ++calls;
        EXPECT_FALSE(handled);
        handled = true;
        buffer = supplied.data();
        length = static_cast<int32_t>(supplied.size());
    };
    udp.SendDatagram(kLine.data(), 0);
    const auto datagram = receiver.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, supplied);
    EXPECT_EQ(calls, 1);

    udp.OnBufferInvalid = [](bool& handled, const char*&, int32_t&) { handled = true; };
    ExpectRefused("Invalid buffer", kLine.data(), 0);
    udp.OnBufferInvalid = [](bool&, const char*&, int32_t& length) { length = 5; };
    ExpectRefused("Invalid buffer", kLine.data(), 0);
}

TEST_F(SendTest, MissingRemoteAddressIsASocketErrorAndNeedsNoLookup)
{
    for (const char* host : {"0.0.0.0", ""}) {
        udp.SetRemoteHost(host);
        try {
            udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
            ADD_FAILURE() << "sent to '" << host << "'";
        } catch (const UDPSockError& error) {
            EXPECT_EQ(error.Message(), "Null Remote Address") << "host '" << host << "'";
        }
    }
    EXPECT_EQ(*lookups, 0);
    EXPECT_TRUE(receiver.Empty());
}

TEST_F(SendTest, StatusTextsAreReportedUpToTheReportLevel)
{
    std::vector<std::string> texts;
    udp.OnStatus = [&](QObject* sender, const std::string& text) {
        EXPECT_EQ(sender, &udp);
        texts.push_back(text);
    };
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    EXPECT_TRUE(texts.empty()) << "level 1 reports nothing";
    EXPECT_EQ(udp.LastStatus(), "");

    udp.SetReportLevel(2);
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    EXPECT_EQ(texts, std::vector<std::string>{"Sending Data"});
    EXPECT_EQ(udp.LastStatus(), "Sending Data");
}
