#include "net/NMUDP.h"
#include "support/UdpReceiver.h"
#include "support/Waiting.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;

namespace {

const std::string kLine = "   C 12:34:56.789 12  \r";

Ipv4Address Loopback()
{
    return {{127, 0, 0, 1}};
}

// Opens once; a lookup can be held at it until the test lets it answer.
class Gate {
public:
    void Open() { open_.set_value(); }
    bool WaitOpen() const { return opened_.wait_for(10s) == std::future_status::ready; }

private:
    std::promise<void> open_;
    std::shared_future<void> opened_ = open_.get_future().share();
};

std::string Message(TNMUDP& udp)
{
    try {
        udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
    } catch (const UDPSockError& error) {
        return error.Message();
    }
    return "sent";
}

// Sends until the host's lookup has answered; what the first send after it said.
std::string MessageOnceAnswered(TNMUDP& udp)
{
    std::string message;
    WaitUntil([&] { return (message = Message(udp)) != "Host Lookup Pending"; }, 20s);
    return message;
}

} // namespace

TEST(NMUDPLookup, HostNameIsLookedUpOnceWithoutHoldingASend)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    auto gate = std::make_shared<Gate>();
    auto asked = std::make_shared<std::atomic<int>>(0);
    // "old" answers an address where nobody listens, and only once the gate opens.
    udp.SetResolver([gate, asked](const std::string& name) -> std::optional<Ipv4Address> {
        ++*asked;
        if (name == "old" && gate->WaitOpen())
            return Ipv4Address{{127, 0, 0, 2}};
        return Loopback();
    });
    udp.SetRemotePort(receiver.Port());

    // Sends while the name service has not answered are dropped at once, not held.
    udp.SetRemoteHost("old");
    EXPECT_EQ(Message(udp), "Host Lookup Pending");
    EXPECT_EQ(Message(udp), "Host Lookup Pending");
    // The host changes while its lookup still runs: that answer is not the new host's.
    udp.SetRemoteHost("board");
    EXPECT_EQ(Message(udp), "Host Lookup Pending");
    gate->Open();
    EXPECT_EQ(MessageOnceAnswered(udp), "sent");
    EXPECT_EQ(Message(udp), "sent");
    EXPECT_EQ(*asked, 2) << "each name looked up once";
    EXPECT_EQ(receiver.Receive().value_or(Datagram{}).bytes, kLine);
    EXPECT_EQ(receiver.Receive().value_or(Datagram{}).bytes, kLine);

    // Looked up ahead of the first send, the name serves that send too.
    udp.SetRemoteHost("ahead");
    udp.LookUpRemoteHost(10s);
    EXPECT_EQ(Message(udp), "sent");
    EXPECT_EQ(*asked, 3);
    EXPECT_TRUE(receiver.Receive().has_value());
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookup, UnknownHostIsCanceledAndAskedAgainAfterItsBackOff)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    udp.SetRemoteHost("no-such-host.invalid");
    udp.SetRemotePort(receiver.Port());
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(MessageOnceAnswered(udp), "Host Lookup Canceled");
    std::cout << "unknown host refused after " << clock.elapsed() << " ms\n";

    auto asked = std::make_shared<std::atomic<int>>(0);
    auto now = std::make_shared<HostLookup::Clock::time_point>(HostLookup::Clock::now());
    udp.SetResolver([asked](const std::string&) -> std::optional<Ipv4Address> {
        ++*asked;
        return std::nullopt;
    }, [now] { return *now; });
    udp.SetRemoteHost("board");
    EXPECT_EQ(MessageOnceAnswered(udp), "Host Lookup Canceled");
    *now += HostLookup::kRetryAfter - 1ms;
    EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    EXPECT_EQ(*asked, 1) << "not asked again within the back-off";
    *now += 1ms;
    EXPECT_EQ(Message(udp), "Host Lookup Pending");
    EXPECT_EQ(MessageOnceAnswered(udp), "Host Lookup Canceled");
    EXPECT_EQ(*asked, 2);
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookup, OverlongHostIsRefusedWithoutLookup)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    auto looked = std::make_shared<std::string>();
    auto mutex = std::make_shared<std::mutex>();
    udp.SetResolver([looked, mutex](const std::string& name) -> std::optional<Ipv4Address> {
        const std::lock_guard lock(*mutex);
        *looked = name;
        return Loopback();
    });
    udp.SetRemotePort(receiver.Port());

    const std::string longest = std::string(126, 'a') + ".lan";
    ASSERT_EQ(longest.size(), 130u);
    udp.SetRemoteHost(longest);
    EXPECT_EQ(MessageOnceAnswered(udp), "sent");
    {
        const std::lock_guard lock(*mutex);
        EXPECT_EQ(*looked, longest) << "the whole name reaches the name service";
        looked->clear();
    }

    for (const std::string& refused : {longest + "x", std::string(5000, '1'), std::string("local\0host", 10)}) {
        udp.SetRemoteHost(refused);
        EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    }
    const std::lock_guard lock(*mutex);
    EXPECT_EQ(*looked, "");
    ASSERT_TRUE(receiver.Receive().has_value());
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookup, InvalidHostHandlerMayAskForOneMoreLookup)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    auto lookups = std::make_shared<std::atomic<int>>(0);
    auto answerOnSecond = std::make_shared<std::atomic<bool>>(true);
    udp.SetResolver([lookups, answerOnSecond](const std::string&) -> std::optional<Ipv4Address> {
        if (++*lookups == 2 && *answerOnSecond)
            return Loopback();
        return std::nullopt;
    });
    udp.SetRemotePort(receiver.Port());

    // Without a handler: one lookup, then canceled.
    udp.SetRemoteHost("board");
    EXPECT_EQ(MessageOnceAnswered(udp), "Host Lookup Canceled");
    EXPECT_EQ(*lookups, 1);

    int asked = 0;
    udp.OnInvalidHost = [&](bool& handled) {
        ++asked;
        EXPECT_FALSE(handled);
        handled = true;
    };
    *lookups = 0;
    udp.SetRemoteHost("board2");
    EXPECT_EQ(MessageOnceAnswered(udp), "sent");
    EXPECT_EQ(*lookups, 2);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(receiver.Receive().has_value());

    // The handler gets one chance: a second failure ends the send.
    *lookups = 0;
    *answerOnSecond = false;
    asked = 0;
    udp.SetRemoteHost("board3");
    EXPECT_EQ(MessageOnceAnswered(udp), "Host Lookup Canceled");
    EXPECT_EQ(*lookups, 2);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookup, ComponentDestroyedWhileItsLookupRunsIsLeftAlone)
{
    auto* udp = new TNMUDP(nullptr);
    auto gate = std::make_shared<Gate>();
    auto answered = std::make_shared<std::atomic<bool>>(false);
    udp->SetResolver([gate, answered](const std::string&) -> std::optional<Ipv4Address> {
        gate->WaitOpen();
        *answered = true;
        return Loopback();
    });
    udp->SetRemoteHost("board");
    udp->SetRemotePort(9);
    EXPECT_EQ(Message(*udp), "Host Lookup Pending");
    delete udp;
    // The answer comes to a lookup nobody owns any more; the memory checker watches.
    gate->Open();
    EXPECT_TRUE(WaitWithoutEvents([&] { return answered->load(); }));
}
