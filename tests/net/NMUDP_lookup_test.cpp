#include "net/NMUDP.h"
#include "support/UdpReceiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

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

} // namespace

TEST(NMUDPLookup, HostNameIsLookedUpWhileEventsKeepRunning)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    // The name service answers only once the timer has ticked, so the send can succeed only if
    // the timer ran while the send was waiting for its lookup.
    auto ticked = std::make_shared<std::atomic<bool>>(false);
    auto lookedUp = std::make_shared<std::atomic<bool>>(false);
    udp.SetResolver([ticked, lookedUp](const std::string& name) {
        *lookedUp = true;
        for (int i = 0; i < 500 && !*ticked; ++i)
            std::this_thread::sleep_for(10ms);
        return HostLookup::SystemResolver(name);
    });
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [ticked] { *ticked = true; });
    timer.start();

    udp.SetRemoteHost("localhost");
    udp.SetRemotePort(receiver.Port());
    udp.SendDatagram(kLine.data(), static_cast<int>(kLine.size()));

    EXPECT_TRUE(*lookedUp);
    EXPECT_TRUE(*ticked);
    const auto datagram = receiver.Receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->bytes, kLine);
}

TEST(NMUDPLookup, UnknownHostIsCanceledQuickly)
{
    UdpReceiver receiver;
    TNMUDP udp(nullptr);
    udp.SetRemoteHost("no-such-host.invalid");
    udp.SetRemotePort(receiver.Port());
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    std::cout << "unknown host refused after " << clock.elapsed() << " ms\n";
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
    EXPECT_EQ(Message(udp), "sent");
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
    udp.SetRemoteHost("board");
    udp.SetRemotePort(receiver.Port());

    // Without a handler: one lookup, then canceled.
    EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    EXPECT_EQ(*lookups, 1);

    int asked = 0;
    udp.OnInvalidHost = [&](bool& handled) {
        ++asked;
        EXPECT_FALSE(handled);
        handled = true;
    };
    *lookups = 0;
    EXPECT_EQ(Message(udp), "sent");
    EXPECT_EQ(*lookups, 2);
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(receiver.Receive().has_value());

    // The handler gets one chance: a second failure ends the send.
    *lookups = 0;
    *answerOnSecond = false;
    asked = 0;
    EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    EXPECT_EQ(*lookups, 2);
    EXPECT_EQ(asked, 1);

    udp.OnInvalidHost = [&](bool&) { ++asked; };
    *lookups = 0;
    EXPECT_EQ(Message(udp), "Host Lookup Canceled");
    EXPECT_EQ(*lookups, 1);
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookup, SendStartedDuringAnotherLookupKeepsBothDestinations)
{
    UdpReceiver first;
    UdpReceiver second;
    TNMUDP udp(nullptr);
    auto gate = std::make_shared<Gate>();
    udp.SetResolver([gate](const std::string& name) -> std::optional<Ipv4Address> {
        if (name == "first" && !gate->WaitOpen())
            return std::nullopt;
        return Loopback();
    });

    // The first send's buffer is overwritten and its destination changed while it waits.
    std::string line = "first line\r";
    bool nestedSent = false;
    QTimer::singleShot(0, [&] {
        line.assign(100, 'x');
        udp.SetRemoteHost("second");
        udp.SetRemotePort(second.Port());
        const std::string text = "second line\r";
        udp.SendDatagram(text.data(), static_cast<int>(text.size()));
        nestedSent = true;
        gate->Open();
    });
    udp.SetRemoteHost("first");
    udp.SetRemotePort(first.Port());
    udp.SendDatagram(line.data(), static_cast<int>(line.size()));

    EXPECT_TRUE(nestedSent);
    const auto atFirst = first.Receive();
    const auto atSecond = second.Receive();
    ASSERT_TRUE(atFirst.has_value());
    ASSERT_TRUE(atSecond.has_value());
    EXPECT_EQ(atFirst->bytes, "first line\r");
    EXPECT_EQ(atSecond->bytes, "second line\r");
    EXPECT_TRUE(first.Empty());
    EXPECT_TRUE(second.Empty());
}

TEST(NMUDPLookup, ComponentDestroyedDuringItsLookupFailsTheSendSafely)
{
    UdpReceiver receiver;
    auto* udp = new TNMUDP(nullptr);
    auto gate = std::make_shared<Gate>();
    // A failed lookup: what follows it must not touch the destroyed component's handlers.
    udp->SetResolver([gate](const std::string&) -> std::optional<Ipv4Address> {
        gate->WaitOpen();
        return std::nullopt;
    });
    udp->OnInvalidHost = [](bool& handled) { handled = true; };
    udp->SetRemoteHost("board");
    udp->SetRemotePort(receiver.Port());
    QTimer::singleShot(0, [&] {
        delete udp;
        gate->Open();
    });
    try {
        udp->SendDatagram(kLine.data(), static_cast<int>(kLine.size()));
        ADD_FAILURE() << "sent from a destroyed component";
    } catch (const UDPSockError& error) {
        EXPECT_EQ(error.Message(), "Host Lookup Canceled");
    }
    EXPECT_TRUE(receiver.Empty());
}

TEST(NMUDPLookupDeathTest, QuittingEndsALookupThatNeverAnswers)
{
    EXPECT_EXIT(
        {
            TNMUDP udp(nullptr);
            udp.SetResolver([](const std::string&) -> std::optional<Ipv4Address> {
                std::promise<void>().get_future().wait();
                return std::nullopt;
            });
            udp.SetRemoteHost("silent-name-service");
            udp.SetRemotePort(9);
            QTimer::singleShot(0, [&] {
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
                std::cerr << Message(udp) << std::endl;
                std::exit(0);
            });
            QCoreApplication::exec();
            std::exit(2);
        },
        ::testing::ExitedWithCode(0), "Host Lookup Canceled");
}
