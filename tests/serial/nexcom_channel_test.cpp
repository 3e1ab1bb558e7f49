// The channel's settings, port names, open and close, error policy and capture file.
#include "os/linux/PseudoTerminal.h"
#include "protocol/LineRates.h"
#include "serial/linux/CustomBaud.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"
#include "support/channel_support.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

QTimer* PollTimer(TNexComThread& channel)
{
    return channel.findChild<QTimer*>(QStringLiteral("PollTimer"));
}

const std::string kClosed = "Can't perform this operation on a closed port";

// A channel named after a pseudo-terminal and not yet opened, so that a test can give it its
// system calls, handlers and capture file first.
class OnAPseudoTerminal : public ::testing::Test {
protected:
    OnAPseudoTerminal() { channel.SetDeviceName(pty.SlavePath()); }

    PseudoTerminal pty;
    const PortsDirectory ports;
    TNexComThread channel{ports.Names()};
};
using NexComPort = OnAPseudoTerminal;
using NexComStatus = OnAPseudoTerminal;
using NexComCapture = OnAPseudoTerminal;

TEST(NexComSettings, NewChannelReadsItsDefaults)
{
    QObject owner;
    const PortsDirectory ports;
    auto* channel = new TNexComThread(ports.Names(), &owner);
    EXPECT_EQ(channel->parent(), &owner);
    EXPECT_FALSE(channel->ok());
    EXPECT_EQ(channel->Port(), 1);
    EXPECT_EQ(channel->DeviceName(), "COM1");
    EXPECT_EQ(channel->Baud(), 0);
    // SetBufSize gives both directions the size (the driver's own defaults differ).
    EXPECT_EQ(channel->BufSize(), 65534);
    EXPECT_EQ(channel->BufferSizes().Output(), 65534);
    EXPECT_EQ(channel->PacketSize(), 0);
    EXPECT_EQ(channel->Timeout(), 100);
    EXPECT_EQ(channel->Timeouts().ReadConstant(), 0);
    EXPECT_FALSE(channel->HWHandshake());
    EXPECT_EQ(channel->DebugFile(), "");
    EXPECT_FALSE(channel->SendFileInProgress());
    EXPECT_EQ(channel->LastError(), "");
    EXPECT_EQ(channel->DataBits(), db8);
    EXPECT_EQ(channel->Parity(), paNone);
    EXPECT_EQ(channel->StopBits(), sb1);
    EXPECT_TRUE(channel->Options().none());
    ASSERT_NE(PollTimer(*channel), nullptr);
    EXPECT_FALSE(PollTimer(*channel)->isActive());
    EXPECT_EQ(PollTimer(*channel)->interval(), 10);
    EXPECT_EQ(PollTimer(*channel)->timerType(), Qt::PreciseTimer);
    // The channel keeps the driver's events for itself; its own slots start empty.
    EXPECT_TRUE(channel->TComPort::OnRxChar());
    EXPECT_TRUE(channel->TComPort::OnTxEmpty());
    EXPECT_TRUE(channel->TComPort::OnError());
    EXPECT_FALSE(channel->OnTxEmpty());
    EXPECT_FALSE(channel->OnMarqReceived());
}

TEST(NexComSettings, PortNumberAndDeviceNameBothWays)
{
    const PortsDirectory ports;
    TNexComThread channel(ports.Names());
    const std::pair<int, std::string> cases[] = {
        {5, "COM5"},           {9, "COM9"},           {10, "\\\\.\\COM10"},
        {12, "\\\\.\\COM12"},  {99, "\\\\.\\COM99"},  {1, "COM1"},
    };
    for (const auto& [number, name] : cases) {
        channel.SetPort(number);
        EXPECT_EQ(channel.DeviceName(), name);
        EXPECT_EQ(channel.Port(), number);
    }
    channel.SetPort(100); // only the last two characters are read back
    EXPECT_EQ(channel.DeviceName(), "\\\\.\\COM100");
    EXPECT_EQ(channel.Port(), 0);
    channel.SetDeviceName("/dev/pts/7");
    EXPECT_EQ(channel.Port(), 0);
    channel.SetDeviceName("COMx");
    EXPECT_EQ(channel.Port(), 0);
    channel.SetDeviceName("CO");
    EXPECT_EQ(channel.Port(), 0);
}

TEST(NexComSettings, BaudRatesMapBothWaysAndOthersAreRefused)
{
    const PortsDirectory ports;
    TNexComThread channel(ports.Names());
    const std::pair<int, TBaudRate> samples[] = {
        {50, br50}, {2400, br2400}, {15625, br15625}, {19200, br19200}, {256000, br256000},
    };
    for (const auto& [bps, rate] : samples) {
        channel.SetBaud(bps);
        EXPECT_EQ(channel.BaudRate(), rate) << bps;
        EXPECT_EQ(channel.Baud(), bps);
    }
    channel.SetBaud(2400);
    for (const int odd : {4000, 0, -9600, 230400}) {
        EXPECT_THROW(channel.SetBaud(odd), EAbort) << odd;
        EXPECT_EQ(channel.LastError(), "Unsupported baud rate: " + std::to_string(odd));
        EXPECT_EQ(channel.BaudRate(), br2400) << "the rate set before stays";
    }
    EXPECT_THROW(channel.SetBaudRate(brCustom), EAbort);
    EXPECT_EQ(channel.Baud(), 2400);
}

TEST(NexComSettings, DataBitsFromCount)
{
    EXPECT_EQ(TNexComThread::DataBitsFromCount(4), db4);
    EXPECT_EQ(TNexComThread::DataBitsFromCount(7), db7);
    EXPECT_EQ(TNexComThread::DataBitsFromCount(8), db8);
    for (const int other : {0, 3, 9, -8})
        EXPECT_EQ(TNexComThread::DataBitsFromCount(other), dbDefault);
}

TEST(NexComSettings, CtsFlowReplacesEveryOption)
{
    const PortsDirectory ports;
    TNexComThread channel(ports.Names());
    channel.SetOptions(TOptions().set(opCheckParity).set(opAbortOnError));
    channel.SetCTSFlow();
    EXPECT_EQ(channel.Options(), TOptions().set(opOutputCTSFlow));
    channel.SetOptions(channel.Options().set(opDiscardNullBytes));
    channel.NoCTSFlow();
    EXPECT_TRUE(channel.Options().none());
}

TEST(NexComErrors, RefusalsOnAClosedPortGoToLastErrorAsSilentAborts)
{
    const PortsDirectory ports;
    TNexComThread channel(ports.Names());
    EXPECT_THROW(channel.SetHWHandshake(true), EAbort);
    EXPECT_EQ(channel.LastError(), kClosed);
    EXPECT_FALSE(channel.HWHandshake());
    EXPECT_TRUE(channel.Options().none());

    TNexComThread other(ports.Names());
    EXPECT_THROW(other.SendText("x"), EAbort);
    EXPECT_EQ(other.LastError(), kClosed);

    TNexComThread third(ports.Names());
    EXPECT_THROW(third.SendFile(L"/no/such/file"), EAbort);
    EXPECT_EQ(third.LastError(), kClosed);
}

TEST(NexComErrors, FailedOpenLeavesTheChannelClosedAndSaysWhy)
{
    const PortsDirectory ports;
    TNexComThread channel(ports.Names());
    channel.SetDeviceName("/nonexistent/serial/device");
    EXPECT_THROW(channel.OpenPort(), EAbort);
    EXPECT_FALSE(channel.ok());
    EXPECT_FALSE(PollTimer(channel)->isActive());
    EXPECT_FALSE(channel.LastError().empty());
}

TEST_F(NexComPort, OpenAndCloseRunThePollTimer)
{
    channel.ClosePort(); // closed already: nothing but the timer
    EXPECT_FALSE(PollTimer(channel)->isActive());
    channel.OpenPort();
    EXPECT_TRUE(channel.ok());
    EXPECT_TRUE(PollTimer(channel)->isActive());
    channel.ClosePort();
    EXPECT_FALSE(channel.ok());
    EXPECT_FALSE(PollTimer(channel)->isActive());
}

TEST_F(NexComPort, LastErrorOutlivesASuccessfulOpen)
{
    EXPECT_THROW(channel.SendText("x"), EAbort);
    channel.OpenPort();
    EXPECT_EQ(channel.LastError(), kClosed);
}

TEST_F(NexComPort, EveryOfferedRateReachesTheDeviceAsItselfAndAnUnknownOneChangesNothing)
{
    channel.OpenPort();
    for (const protocol::LineRate& offered : protocol::kLineRates) {
        channel.SetBaud(offered.bitsPerSecond);
        EXPECT_EQ(customBaud::Get(pty.Slave()), offered.bitsPerSecond);
    }
    EXPECT_THROW(channel.SetBaud(4000), EAbort);
    EXPECT_EQ(customBaud::Get(pty.Slave()), protocol::kLineRates.back().bitsPerSecond);
    EXPECT_EQ(channel.Baud(), protocol::kLineRates.back().bitsPerSecond);
}

TEST_F(NexComPort, RenamingAnOpenPortIsRefused)
{
    channel.OpenPort();
    EXPECT_THROW(channel.SetPort(3), EAbort);
    EXPECT_EQ(channel.LastError(), "Can't perform this operation on an open port");
    EXPECT_EQ(channel.DeviceName(), pty.SlavePath());
}

TEST_F(NexComPort, HandshakeWhileOpen)
{
    channel.OpenPort();
    channel.SetOptions(TOptions().set(opCheckParity));
    channel.SetHWHandshake(true);
    EXPECT_TRUE(channel.HWHandshake());
    EXPECT_EQ(channel.Options(), TOptions().set(opOutputCTSFlow));
    EXPECT_EQ(channel.FlowControl().RTS(), rcHandshake);
    channel.SetHWHandshake(false);
    EXPECT_FALSE(channel.HWHandshake());
    EXPECT_TRUE(channel.Options().none());
    EXPECT_EQ(channel.FlowControl().RTS(), rcDisable);
}

TEST_F(NexComPort, SendTextArrivesUnchanged)
{
    channel.OpenPort();
    const std::string text = "A        88:88:88.888  \r\n\0\x11\x13\xff"s;
    channel.SendText(text);
    EXPECT_EQ(pty.Receive(text.size()), text);
    channel.SendText("");
    EXPECT_EQ(pty.Receive(1, 50), "");
}

TEST_F(NexComPort, LinesNobodyWaitsForLeaveTheEventThreadAsleep)
{
    // Actual Time sends 77 lines a second; with no file transfer and no OnTxEmpty handler, none
    // of them is worth a look at the drained queue and a hand-over to the window.
    auto system = std::make_shared<ScriptedSystem>(channel.Names());
    channel.SetSystem(system);
    channel.OpenPort();
    ASSERT_TRUE(WaitWithoutEvents([&] { return system->ThreadWaits() > 0; }));
    const int waits = system->ThreadWaits();
    const std::string line = "   .    12:34:56.78   \r";
    for (int i = 0; i < 20; ++i)
        channel.SendText(line);
    EXPECT_EQ(pty.Receive(20 * line.size()).size(), 20 * line.size());
    EXPECT_EQ(system->ThreadWaits(), waits);

    int empties = 0;
    channel.SetOnTxEmpty([&](QObject*) { ++empties; });
    channel.SendText(line);
    EXPECT_TRUE(WaitUntil([&] { return empties == 1; })) << "a listener hears of it again";
}

TEST_F(NexComPort, ControlBytesPassALineThatStartedWithSoftwareFlowControl)
{
    // A terminal as the kernel hands it out: XON/XOFF on in both directions.
    termios cooked{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &cooked), 0);
    cooked.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &cooked), 0);

    std::string received;
    channel.SetOnPacketReceived([&](QObject*, std::string& packet) { received += packet; });
    channel.OpenPort();
    const std::string bytes = "\x13" "a\x11" "b\x13"s;
    pty.Send(bytes);
    EXPECT_TRUE(WaitUntil([&] { return received.size() >= bytes.size(); }));
    EXPECT_EQ(received, bytes);
    // A received XOFF has not stopped the way out.
    channel.SendText("after\r");
    EXPECT_EQ(pty.Receive(6), "after\r");
}

TEST_F(NexComStatus, ModemLineChangeReportsAllFourLines)
{
    auto system = std::make_shared<ScriptedSystem>(channel.Names());
    system->SetModemLines(0);
    channel.SetSystem(system);
    std::vector<std::array<bool, 4>> reports;
    channel.SetOnStatusChanged([&](QObject* sender, bool cts, bool dsr, bool ring, bool rlsd) {
        EXPECT_EQ(sender, &channel);
        reports.push_back({cts, dsr, ring, rlsd});
    });
    system->Hold(); // until the event thread has taken the lines' starting point
    channel.OpenPort();
    ASSERT_TRUE(WaitWithoutEvents([&] { return system->Held(); }));
    system->SetModemLines(TIOCM_CTS | TIOCM_RNG);
    system->Release();
    ASSERT_TRUE(WaitUntil([&] { return !reports.empty(); }));
    // CTS and ring changed together: one report for each event, each with all four lines.
    ASSERT_TRUE(WaitUntil([&] { return reports.size() >= 2; }));
    for (const auto& r : reports)
        EXPECT_EQ(r, (std::array<bool, 4>{true, false, true, false}));
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(NexComStatus, StaleDispatchAfterCloseTouchesNothing)
{
    // CTS and DSR change in one look, so one dispatch carries both; the first report closes the
    // port, and the DSR handler of that same dispatch then runs on a closed port.
    auto system = std::make_shared<ScriptedSystem>(channel.Names());
    system->SetModemLines(0);
    channel.SetSystem(system);
    int reports = 0;
    channel.SetOnStatusChanged([&](QObject*, bool, bool, bool, bool) {
        ++reports;
        channel.ClosePort();
    });
    system->Hold();
    channel.OpenPort();
    ASSERT_TRUE(WaitWithoutEvents([&] { return system->Held(); }));
    system->SetModemLines(TIOCM_CTS | TIOCM_DSR);
    system->Release();
    ASSERT_TRUE(WaitUntil([&] { return reports > 0; })); // the whole dispatch has run by then
    EXPECT_EQ(reports, 1) << "no report from a closed port";
    EXPECT_FALSE(channel.ok());
    EXPECT_EQ(channel.LastError(), "") << "the closed port was not asked for its lines";
}

TEST_F(NexComCapture, DebugFileOpensAppendsAndCloses)
{
    ChannelTempFile file("earlier\n");
    channel.SetDebugFile(file.Path());
    EXPECT_EQ(channel.DebugFile(), file.Path());
    ASSERT_TRUE(ProcessHoldsFile(file.Path()));
    EXPECT_TRUE(fcntl(DescriptorOf(file.Path()), F_GETFD) & FD_CLOEXEC)
        << "a program started from the window must not inherit the capture";
    channel.SetDebugFile("");
    EXPECT_EQ(channel.DebugFile(), "");
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
    EXPECT_EQ(file.Contents(), "earlier\n");

    channel.SetDebugFile(file.Path());
    channel.SetDebugFile("/no/such/folder/capture.bin");
    EXPECT_EQ(channel.DebugFile(), "");
    EXPECT_FALSE(ProcessHoldsFile(file.Path()));
}

TEST_F(NexComCapture, EveryReceivedByteIsAppendedBeforeTheEventsOfItsPass)
{
    ChannelTempFile file("old:");
    channel.SetDebugFile(file.Path());
    channel.OpenPort();

    // No event assigned: the bytes still land in the capture, CR LF and zero bytes unchanged.
    const std::string first = "abc\r\n\0\xfe"s;
    pty.Send(first);
    ASSERT_TRUE(WaitUntil([&] { return file.Contents() == "old:" + first; }));

    std::string seenInHandler;
    channel.SetOnStringReceived([&](QObject*, std::string&) { seenInHandler = file.Contents(); });
    pty.Send("xyz\r");
    ASSERT_TRUE(WaitUntil([&] { return !seenInHandler.empty(); }));
    EXPECT_EQ(seenInHandler, "old:" + first + "xyz\r");

    // The capture stays open across closing and opening the port.
    channel.ClosePort();
    channel.OpenPort();
    pty.Send("more");
    ASSERT_TRUE(WaitUntil([&] { return file.Contents() == "old:" + first + "xyz\rmore"; }));
}

} // namespace
