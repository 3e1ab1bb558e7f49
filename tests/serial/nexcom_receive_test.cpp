// Received bytes through a pseudo-terminal into the channel's decoders.
#include "os/linux/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"
#include "support/channel_support.h"

#include <QPointer>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct Marq {
    char address;
    std::int32_t start;
    char mode;
    std::int32_t time;
    std::int32_t place;
    std::string line;
    friend bool operator==(const Marq&, const Marq&) = default;
};

struct Chron {
    char info;
    std::int32_t start;
    std::int32_t channel;
    char mode;
    std::int32_t time;
    std::string line;
    friend bool operator==(const Chron&, const Chron&) = default;
};

// A channel on a pseudo-terminal with every decoder recording what it raises.
class ReceivingChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        channel.SetDeviceName(pty.SlavePath());
        channel.SetOnStringReceived([this](QObject* sender, std::string& s) {
            EXPECT_EQ(sender, &channel);
            strings.push_back(s);
        });
        channel.SetOnMarqReceived([this](QObject* sender, char a, std::int32_t n, char m,
                                         std::int32_t t, std::int32_t p, const char* line) {
            EXPECT_EQ(sender, &channel);
            marqs.push_back({a, n, m, t, p, line});
        });
        channel.SetOnChronBackupReceived([this](QObject* sender, char i, std::int32_t n,
                                                std::int32_t c, char m, std::int32_t t,
                                                const char* line) {
            EXPECT_EQ(sender, &channel);
            chrons.push_back({i, n, c, m, t, line});
        });
        channel.SetOnPacketReceived([this](QObject*, std::string& p) {
            packets.push_back(p);
            received += p.size();
        });
    }

    void Open()
    {
        channel.OpenPort();
        ASSERT_TRUE(channel.ok());
    }

    // Sends bytes and waits until a receive pass has taken all of them.
    void Deliver(std::string_view bytes)
    {
        const std::size_t before = received;
        pty.Send(bytes);
        ASSERT_TRUE(WaitUntil([&] { return received == before + bytes.size(); }));
    }

    PseudoTerminal pty;
    const PortsDirectory ports;
    BeepCountingChannel channel{ports.Names()};
    std::vector<std::string> strings;
    std::vector<Marq> marqs;
    std::vector<Chron> chrons;
    std::vector<std::string> packets;
    std::size_t received = 0;
};

TEST_F(ReceivingChannel, DisplayLineInTwoChunks)
{
    Open();
    Deliver("        88:88");
    EXPECT_TRUE(marqs.empty());
    Deliver(":88.888  \r");
    const std::string line = "        88:88:88.888  \r";
    EXPECT_EQ(marqs, (std::vector<Marq>{{' ', 0, ' ', 292888880, -1, line}}));
    EXPECT_EQ(strings, std::vector<std::string>{line});
    EXPECT_TRUE(chrons.empty());
    EXPECT_EQ(packets, (std::vector<std::string>{"        88:88", ":88.888  \r"}));
}

TEST_F(ReceivingChannel, AddressedDisplayLineAndBackupLine)
{
    Open();
    const std::string addressed = "B 12C    01:02:03.456 7\r";
    std::string backup(26, ' ');
    backup.replace(1, 4, "0042");
    backup[7] = '1';
    backup[8] = 'M';
    backup.replace(10, 11, "12:34:56.78");
    backup += '\r';
    Deliver(addressed + backup);
    EXPECT_EQ(marqs, (std::vector<Marq>{{'B', 12, 'C', 37234560, 7, addressed}}));
    EXPECT_EQ(chrons, (std::vector<Chron>{{' ', 42, 1, 'M', 452967800, backup}}));
}

TEST_F(ReceivingChannel, PacketsAreCutAcrossPasses)
{
    channel.SetPacketSize(4);
    Open();
    pty.Send("abcdef");
    ASSERT_TRUE(WaitUntil([&] { return packets.size() == 1; }));
    pty.Send("gh");
    ASSERT_TRUE(WaitUntil([&] { return packets.size() == 2; }));
    EXPECT_EQ(packets, (std::vector<std::string>{"abcd", "efgh"}));
}

TEST_F(ReceivingChannel, HandlerMayReplaceItselfWhileRunning)
{
    // The first handler still reads its own captured text after replacing itself: the memory
    // checker catches a handler that was destroyed under its own feet.
    channel.SetOnStringReceived([&, name = std::string(40, 'f')](QObject*, std::string& s) {
        channel.SetOnStringReceived([&, name = std::string(40, 's')](QObject*, std::string& t) {
            strings.push_back(name.substr(0, 1) + t);
        });
        strings.push_back(name.substr(0, 1) + s);
    });
    Open();
    Deliver("ab\rcd\r");
    EXPECT_EQ(strings, (std::vector<std::string>{"fab\r", "scd\r"}));
}

TEST_F(ReceivingChannel, HandlerMayDestroyTheChannelMidPass)
{
    // Two display lines in one pass; a handler of the first destroys the channel, once from the
    // string decoder and once, with the poll timer as the only reader, from the display-line
    // decoder. Nothing more is raised, and nothing of the channel is touched afterwards: the
    // memory checker watches.
    const std::string first = " 12C    01:02:03.456 7\r";
    const std::string second = " 13C    01:02:04.456 7\r";
    const int both = static_cast<int>((first + second).size());
    for (const bool fromMarq : {false, true}) {
        strings.clear();
        marqs.clear();
        auto* doomed = new TNexComThread(ports.Names());
        const QPointer<TNexComThread> watch(doomed);
        doomed->SetDeviceName(pty.SlavePath());
        if (fromMarq)
            doomed->TComPort::SetOnRxChar(nullptr);
        doomed->SetOnStringReceived([&](QObject*, std::string& s) {
            strings.push_back(s);
            if (!fromMarq)
                delete doomed;
        });
        doomed->SetOnMarqReceived([&](QObject*, char a, std::int32_t n, char m, std::int32_t t,
                                      std::int32_t p, const char* line) {
            marqs.push_back({a, n, m, t, p, line});
            if (fromMarq)
                delete doomed;
        });
        doomed->OpenPort();
        ASSERT_TRUE(doomed->ok());
        pty.Send(first + second);
        // Both lines wait before a pass may start, so that one pass takes them together.
        ASSERT_TRUE(WaitWithoutEvents([&] { return pty.SlaveQueued() == both; }));
        ASSERT_TRUE(WaitUntil([&] { return watch.isNull(); }));
        RunEventLoop(std::chrono::milliseconds(30));
        if (fromMarq) {
            EXPECT_EQ(strings, (std::vector<std::string>{first, second}));
            EXPECT_EQ(marqs, (std::vector<Marq>{{' ', 12, 'C', 37234560, 7, first}}));
        } else {
            EXPECT_EQ(strings, std::vector<std::string>{first});
            EXPECT_TRUE(marqs.empty());
        }
    }
    Open(); // the port went with the channel
}

TEST_F(ReceivingChannel, NestedPassBeepsOnceAndDeliversBeforeTheOuterGoesOn)
{
    Open();
    channel.SetOnPacketReceived(nullptr);
    bool nestedSeen = false;
    channel.SetOnStringReceived([&](QObject*, std::string& s) {
        strings.push_back(s);
        if (s == "abc\r") {
            // As a modal dialog would: the event loop runs inside the handler.
            pty.Send("xyz\r");
            ASSERT_TRUE(WaitWithoutEvents([&] { return pty.SlaveQueued() == 4; }));
            ASSERT_TRUE(WaitUntil([&] { return strings.size() == 2; }));
            nestedSeen = true;
        }
    });
    pty.Send("abc\rdef\r");
    ASSERT_TRUE(WaitWithoutEvents([&] { return pty.SlaveQueued() == 8; }));
    channel.NexComPortRxChar(&channel); // the outer pass, as the poll timer starts it
    EXPECT_TRUE(nestedSeen);
    EXPECT_EQ(strings, (std::vector<std::string>{"abc\r", "xyz\r", "def\r"}));
    EXPECT_EQ(channel.informationBeeps, 1);
    EXPECT_EQ(channel.defaultBeeps, 0);
}

TEST_F(ReceivingChannel, FailedReadBeepsAndLosesNothing)
{
    auto system = std::make_shared<ChannelReadFailure>(channel.Names());
    system->readError = EIO;
    channel.SetSystem(system);
    Open();
    pty.Send("late");
    ASSERT_TRUE(WaitUntil([&] { return channel.defaultBeeps > 0; }));
    EXPECT_EQ(channel.LastError(), "Input/output error");
    EXPECT_TRUE(packets.empty());
    system->readError = 0;
    ASSERT_TRUE(WaitUntil([&] { return received == 4; }));
    EXPECT_EQ(packets.back().back(), 'e');
}

TEST_F(ReceivingChannel, HandlerExceptionIsReportedAndReceivingGoesOn)
{
    std::vector<std::string> reported;
    channel.SetOnException([&](TCustomComPort*, const std::exception& e) {
        reported.emplace_back(e.what());
    });
    channel.SetOnStringReceived([&](QObject*, std::string& s) {
        strings.push_back(s);
        if (s == "bad\r")
            throw std::runtime_error("handler failed");
    });
    Open();
    pty.Send("bad\r");
    ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
    pty.Send("good\r");
    ASSERT_TRUE(WaitUntil([&] { return strings.size() == 2; }));
    EXPECT_EQ(strings.back(), "good\r");
}

TEST_F(ReceivingChannel, CollectorWithoutHandlerKeepsItsPartialLine)
{
    Open();
    Deliver("        11:11");
    const TMarqEvent marq = channel.OnMarqReceived();
    channel.SetOnMarqReceived(nullptr);
    Deliver("{{{\r"); // would reset a working collector
    channel.SetOnMarqReceived(marq);
    Deliver(":11.111  \r");
    EXPECT_EQ(marqs, (std::vector<Marq>{{' ', 0, ' ', 402711110, -1, "        11:11:11.111  \r"}}));
}

TEST_F(ReceivingChannel, PollTimerAloneKeepsReceiving)
{
    channel.TComPort::SetOnRxChar(nullptr); // no receive events from the driver
    Open();
    Deliver("polled\r");
    EXPECT_EQ(strings, std::vector<std::string>{"polled\r"});
}

TEST_F(ReceivingChannel, PollTickWaitsWhileAPassRuns)
{
    Open();
    channel.SetOnStringReceived([&](QObject*, std::string& s) {
        strings.push_back(s);
        if (s == "one\r") {
            pty.Send("two\r");
            ASSERT_TRUE(WaitWithoutEvents([&] { return pty.SlaveQueued() == 4; }));
            channel.PollTick();
            EXPECT_EQ(strings.size(), 1u);
        }
    });
    pty.Send("one\r");
    ASSERT_TRUE(WaitUntil([&] { return strings.size() == 2; }));
    EXPECT_EQ(strings.back(), "two\r");
    EXPECT_EQ(channel.informationBeeps, 0);
}

} // namespace
