// The Windows serial line over scripted Win32 calls: what real drivers do and a pseudo-terminal
// under wine cannot show.
// Before windows.h, whose "interface" macro would rename a member of ComNames::Device.
#include "serial/ComPort.h"

#include "ScriptedComm.h"
#include "support/Waiting.h"

#include "serial/NexCom.h"
#include "serial/win32/Win32System.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A display line: 22 characters and its carriage return.
std::string Line(char digit) { return std::string(22, digit) + "\r"; }

// A port on scripted calls that records every error it raises.
class Win32Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        port.SetDeviceName("COM5");
        port.SetOnError([this](TCustomComPort*, EComError& error, TComAction& action) {
            errors.emplace_back(error.ErrorCode(), error.Message());
            kinds.push_back(error.Kind());
            action = caAbort;
        });
    }

    // Writes unless the port refuses; true when it took the line.
    bool Send(const std::string& line)
    {
        try {
            port.WriteString(line);
            return true;
        } catch (const EAbort&) {
            return false;
        }
    }

    using Errors = std::vector<std::pair<int, std::string>>;
    // The error numbers alone.
    std::vector<int> Numbers() const
    {
        std::vector<int> numbers;
        for (const auto& error : errors)
            numbers.push_back(error.first);
        return numbers;
    }

    // A new device on new calls, for a test that tries several drivers.
    void Replace(std::shared_ptr<ScriptedComm> calls)
    {
        port.Close();
        comm = std::move(calls);
        port.SetSystem(std::make_shared<Win32System>(port.Names(), comm));
        errors.clear();
        kinds.clear();
    }

    std::shared_ptr<ScriptedComm> comm = std::make_shared<ScriptedComm>();
    TComPort port{nullptr, std::make_shared<Win32System>(ComNames::FromEnvironment(), comm)};
    Errors errors;
    std::vector<TComErrorKind> kinds; // what each error means, in the same order
};

// The channel, with its beeps counted instead of sounded.
class Channel : public TNexComThread {
public:
    using TNexComThread::TNexComThread;
    int beeps = 0;

protected:
    void MessageBeep(unsigned) override { ++beeps; }
};

} // namespace

TEST_F(Win32Port, ALineLeavesAtTheRateSetAndTheSettingsFoundAtOpenComeBack)
{
    port.SetBaudRate(br19200);
    port.Open();
    EXPECT_EQ(comm->State().BaudRate, 19200u);
    ASSERT_TRUE(Send(Line('8')));
    ASSERT_TRUE(WaitUntil([&] { return comm->AllLeft(); }));
    port.Close();
    EXPECT_EQ(comm->Wire(), Line('8'));
    EXPECT_EQ(comm->State().BaudRate, 9600u);
    EXPECT_FALSE(comm->Open());
    EXPECT_EQ(errors, Errors{});
}

TEST_F(Win32Port, EventsComeFromWaitsOrFromLooksAtTheQueuesOfADeviceThatCannotWait)
{
    std::string received;
    int emptied = 0;
    port.SetOnRxChar([&](QObject*) { received += port.ReadString(); });
    port.SetOnTxEmpty([&](QObject*) { ++emptied; });
    port.Open();
    comm->Receive("abc");
    ASSERT_TRUE(WaitUntil([&] { return received == "abc"; }));
    ASSERT_TRUE(Send("x"));
    EXPECT_TRUE(WaitUntil([&] { return emptied > 0; }));
    EXPECT_GT(comm->WaitsStarted(), 0);
    port.Close();

    // Wine on a pseudo-terminal, asked for modem lines, refuses to wait at all.
    comm->RefuseWaits(ERROR_NOT_SUPPORTED);
    received.clear();
    port.Open();
    comm->Receive("def");
    EXPECT_TRUE(WaitUntil([&] { return received == "def"; }));
    const int before = emptied;
    ASSERT_TRUE(Send("y"));
    EXPECT_TRUE(WaitUntil([&] { return emptied > before; }));
    EXPECT_EQ(errors, Errors{});
}

TEST_F(Win32Port, AWaitThatEndsAbortedThoughNobodyCancelledItIsWaitedAgain)
{
    std::string received;
    int ctsChanges = 0;
    port.SetOnRxChar([&](QObject*) { received += port.ReadString(); });
    port.SetOnCTSChange([&](QObject*) { ++ctsChanges; });
    // usbser.sys ends the very first wait so: the port still waits for events, and sees its modem
    // lines (looks at the queues would not).
    comm->AbortNextWait();
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() >= 2; }));
    comm->Raise(EV_CTS);
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges == 1; }));
    // A wait later on.
    comm->Receive("a");
    ASSERT_TRUE(WaitUntil([&] { return received == "a"; }));
    comm->AbortNextWait();
    comm->Receive("b");
    EXPECT_TRUE(WaitUntil([&] { return received == "ab"; }));
    // usbser.sys aborts a wait whenever a write completes: many in a row, once waits have
    // worked, are waited again, and a modem line that changes meanwhile is seen.
    comm->AbortEveryWait(true);
    comm->AbortNextWait();
    const int waits = comm->WaitsStarted();
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > waits + 3; }));
    comm->SetModemLines(MS_CTS_ON);
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges >= 2; }));
    comm->AbortEveryWait(false);
    const int seen = ctsChanges;
    comm->SetModemLines(0);
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges > seen; }));
    EXPECT_TRUE(port.HasEventThread());
    EXPECT_EQ(errors, Errors{});
    port.Close();

    // Wine on a pseudo-terminal ends every wait so: the port looks at the queues instead, and
    // does not spin.
    comm->AbortEveryWait(true);
    received.clear();
    const int before = comm->WaitsStarted();
    port.Open();
    comm->Receive("c");
    EXPECT_TRUE(WaitUntil([&] { return received == "c"; }));
    RunEventLoop(50ms);
    EXPECT_LE(comm->WaitsStarted() - before, 3);
    EXPECT_EQ(errors, Errors{});
}

TEST_F(Win32Port, EveryWayADriverSaysItsDeviceHasGoneEndsTheSessionWithOneReport)
{
    struct Way {
        const char* driver;
        DWORD error;
        DWORD waitError; // how the pending wait ends, when not with the error
        bool waits;      // the device can wait for events (else it is sampled)
    };
    const Way ways[] = {
        {"FTDI", ERROR_BAD_COMMAND, 0, true},
        {"FTDI", ERROR_GEN_FAILURE, 0, true},
        {"CH340", ERROR_ACCESS_DENIED, 0, true},
        {"usbser.sys", ERROR_DEVICE_REMOVED, ERROR_OPERATION_ABORTED, true},
        {"a hub", ERROR_DEVICE_NOT_CONNECTED, 0, true},
        {"wine, the far end of a pseudo-terminal closed", ERROR_NOT_READY, 0, false},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(std::string(way.driver) + ", error " + std::to_string(way.error));
        Replace(std::make_shared<ScriptedComm>());
        comm->RefuseWaits(way.waits ? 0 : ERROR_NOT_SUPPORTED);
        port.SetOnRxChar([&](QObject*) { port.ReadString(); });
        port.Open();
        ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > 0; }));
        comm->Unplug(way.error, 0, way.waitError);
        EXPECT_TRUE(WaitUntil([&] { return !port.GetActive(); }, 1s));
        RunEventLoop(30ms);
        // The driver's own number (an aborted wait is waited again, and meets it).
        EXPECT_EQ(Numbers(), std::vector<int>{static_cast<int>(way.error)});
        EXPECT_EQ(kinds, std::vector{ekGone});
    }

    // A write that ends aborted though nobody cancelled it: the device has gone.
    Replace(std::make_shared<ScriptedComm>());
    port.SetOnRxChar(nullptr);
    port.Open();
    comm->SetLineRate(300);
    ASSERT_TRUE(Send(Line('1')));
    comm->Unplug(ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED);
    try {
        port.Write(nullptr, 0, true);
    } catch (const EAbort&) {
    }
    EXPECT_EQ(Numbers(), std::vector<int>{ERROR_OPERATION_ABORTED});
    EXPECT_EQ(kinds, std::vector{ekGone});
    EXPECT_FALSE(port.GetActive());

    // The same number from an open is no device gone: another program has the port, which may
    // let it go in a moment (learn.microsoft.com, "Communications Resource Handles": CreateFile
    // of a port another process uses fails, with ERROR_ACCESS_DENIED).
    Replace(std::make_shared<ScriptedComm>());
    comm->RefuseOpen(ERROR_ACCESS_DENIED);
    EXPECT_THROW(port.Open(), EAbort);
    EXPECT_EQ(Numbers(), std::vector<int>{ERROR_ACCESS_DENIED});
    EXPECT_EQ(kinds, std::vector{ekDenied});
}

TEST(Win32Channel, AReadThatFindsTheDeviceGoneEndsTheSessionOnceWithoutABeep)
{
    auto comm = std::make_shared<ScriptedComm>();
    Channel channel(ComNames::FromEnvironment());
    channel.SetSystem(std::make_shared<Win32System>(channel.Names(), comm));
    channel.SetDeviceName("COM5"); // windows.h makes SetPort a macro
    std::vector<std::string> reasons;
    channel.SetOnPortLost([&](QObject*, const std::string& reason) { reasons.push_back(reason); });
    channel.OpenPort();
    ASSERT_TRUE(channel.ok());
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > 0; }));
    // The driver leaves its pending wait pending: only the channel's reads, every 10 ms, meet
    // the error.
    comm->Unplug(ERROR_NOT_READY, 0, ERROR_IO_PENDING);
    EXPECT_TRUE(WaitUntil([&] { return !channel.ok(); }, 1s));
    RunEventLoop(50ms);
    EXPECT_EQ(reasons, std::vector{channel.LastError()}) << "one event, with the driver's message";
    EXPECT_EQ(channel.beeps, 0);
    EXPECT_EQ(channel.LastErrorCode(), ERROR_NOT_READY);
    EXPECT_EQ(channel.LastErrorKind(), ekGone);
}

TEST_F(Win32Port, AWriteThatRunsOutOfTimeSaysTimeoutAndNeverLeavesHalfALine)
{
    // Runs of one character as one: "1111\r33\r" is "1\r3\r".
    auto runs = [](const std::string& text) {
        std::string squeezed;
        for (const char c : text)
            if (squeezed.empty() || squeezed.back() != c)
                squeezed += c;
        return squeezed;
    };
    using Driver = ScriptedComm::Driver;
    const std::pair<Driver, const char*> drivers[] = {
        {Driver::Serial, "serial.sys, FTDI: success with fewer bytes"},
        {Driver::Usbser, "usbser.sys: ERROR_SEM_TIMEOUT"},
    };
    for (const auto& [driver, name] : drivers) {
        SCOPED_TRACE(name);
        Replace(std::make_shared<ScriptedComm>());
        comm->SetDriver(driver);
        port.SetBaudRate(br9600);
        port.Timeouts().SetWriteConstant(50);
        port.Open();
        // The far end holds the line to 600 bits a second: a line needs 383 ms, far more than
        // its allowance.
        comm->SetLineRate(600);
        ASSERT_TRUE(Send(Line('1')));
        EXPECT_FALSE(Send(Line('2')));
        EXPECT_EQ(errors, (Errors{{0, "Timeout"}}));
        // The rest of the first line goes out before any other.
        EXPECT_TRUE(WaitUntil([&] { return Send(Line('3')); }));
        comm->SetLineRate(std::nullopt);
        ASSERT_TRUE(WaitUntil([&] { return comm->AllLeft(); }));
        EXPECT_EQ(runs(comm->Wire()), "1\r3\r");
    }

    // A line that merely waits for a slow line is no time-out: at 2400 baud the line needs
    // 96 ms, and a USB adapter takes each byte only as the one before has gone.
    Replace(std::make_shared<ScriptedComm>());
    comm->SetFifo(0);
    port.SetBaudRate(br2400);
    port.Open();
    ASSERT_TRUE(Send(Line('4')));
    EXPECT_TRUE(Send(Line('5')));
    EXPECT_EQ(errors, Errors{});

    // A line of which nothing leaves is thrown away whole.
    ASSERT_TRUE(WaitUntil([&] { return comm->AllLeft(); }));
    comm->SetLineRate(0);
    ASSERT_TRUE(Send(Line('6')));
    EXPECT_FALSE(Send(Line('7')));
    EXPECT_EQ(errors, (Errors{{0, "Timeout"}}));
    EXPECT_EQ(comm->Wire().find('6'), std::string::npos);
}

TEST_F(Win32Port, TheLastLineLeavesTheLineBeforeTheFrameChangesOrThePortLetsGo)
{
    // 2400 baud and a 16-byte FIFO: the driver's queue is empty 29 ms into a 96 ms line.
    port.SetBaudRate(br2400);
    port.Open();
    ASSERT_TRUE(Send(Line('1')));
    port.SetStopBits(sb2); // Kappa mode, chosen during Actual Time
    EXPECT_EQ(comm->SentAtChangedSettings(), 0);
    ASSERT_TRUE(Send(Line('2')));
    port.Close();
    EXPECT_EQ(comm->CutInTheFifo(), 0);
    EXPECT_EQ(comm->SentAtChangedSettings(), 0);
    EXPECT_EQ(comm->Wire(), Line('1') + Line('2'));
    EXPECT_FALSE(comm->Open());

    // A line that flow control holds: the close waits for it no longer than a second, throws
    // it away and lets the device go.
    port.Open();
    comm->SetLineRate(0);
    ASSERT_TRUE(Send(Line('3')));
    const auto start = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - start, 1200ms);
    EXPECT_FALSE(comm->Open());
    EXPECT_EQ(comm->State().StopBits, ONESTOPBIT);
}

TEST_F(Win32Port, APendingWaitThatNoCancelEndsStillEndsAndNoWaitIsWithoutBound)
{
    comm->SetHangLimit(3s);
    comm->DelayReads(5ms);
    comm->IgnoreCancelOfWaits(true);
    int ctsChanges = 0;
    port.SetOnRxChar([&](QObject*) { port.ReadString(); });
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > 0; }));
    // A new handler is a new mask, which the wait in progress must not hold up.
    const auto start = Clock::now();
    port.SetOnCTSChange([&](QObject*) { ++ctsChanges; });
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > 1; }));
    comm->Raise(EV_CTS);
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges == 1; }));
    EXPECT_LT(Clock::now() - start, 500ms);
    // Closing ends the thread's wait the same way.
    const auto closing = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - closing, 500ms);

    // A driver that ignores the new mask too: the wait is given up, the driver refuses a new
    // one while it is pending, and the line is looked at instead until the driver lets go.
    comm->IgnoreMaskChangeOfWaits(true);
    port.SetOnCTSChange(nullptr);
    port.Open();
    const int waits = comm->WaitsStarted();
    comm->Receive("x"); // a wait that works
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > waits + 1; }));
    const int worked = comm->WaitsStarted();
    port.SetOnCTSChange([&](QObject*) { ++ctsChanges; });
    const int seen = ctsChanges;
    ASSERT_TRUE(WaitUntil([&] { return comm->WaitsStarted() > worked; })); // given up
    comm->SetModemLines(MS_CTS_ON);
    EXPECT_TRUE(WaitUntil([&] { return ctsChanges > seen; }));
    EXPECT_TRUE(port.HasEventThread());
    EXPECT_EQ(errors, Errors{});
    // A given-up wait holds its thread's end (Windows cancels a thread's I/O as it ends): the
    // thread is left to end on its own, and the close does not wait for it.
    port.SetOnCTSChange(nullptr);
    const auto leaving = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - leaving, 1s);
    comm->IgnoreMaskChangeOfWaits(false);

    // A driver that ends a write neither at its time-out nor when cancelled (an adapter wedged
    // as it was pulled out): the write ends as a time-out all the same, and the port closes.
    comm->WedgeWrites(true);
    port.Timeouts().SetWriteConstant(100);
    port.Open();
    ASSERT_TRUE(Send(Line('1')));
    const auto writing = Clock::now();
    EXPECT_FALSE(Send(Line('2')));
    EXPECT_LT(Clock::now() - writing, 1500ms);
    EXPECT_EQ(errors, (Errors{{0, "Timeout"}}));
    // Its CloseHandle hangs too: that finishes in the background, once the adapter lets go.
    const auto closingAgain = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - closingAgain, 2s);
    EXPECT_TRUE(comm->Open());
    comm->WedgeWrites(false);
    EXPECT_TRUE(WaitUntil([&] { return !comm->Open(); }, 1s));
    EXPECT_EQ(comm->Hangs(), 0);
}

TEST_F(Win32Port, AnOpenThatTheDeviceDoesNotAnswerEndsWithinAMomentAndItsLateHandleIsClosed)
{
    // A Bluetooth port whose far device is off: the open is cancelled, so that nothing holds
    // the program's exit.
    comm->DelayOpens(30s);
    auto open = [&] {
        errors.clear();
        kinds.clear();
        const auto started = Clock::now();
        try {
            port.Open();
        } catch (const std::exception&) {
            // the report is in errors
        }
        EXPECT_LT(Clock::now() - started, Win32System::kOpenWithin + 1s);
        EXPECT_EQ(Numbers(), std::vector<int>{ERROR_SEM_TIMEOUT});
        EXPECT_EQ(kinds, std::vector{ekTimedOut});
        EXPECT_FALSE(port.GetActive());
    };
    open();
    EXPECT_TRUE(WaitUntil([&] { return comm->OpensUnderWay() == 0; }, 1s));
    EXPECT_EQ(comm->CallsOf("CloseHandle"), 0);

    // A driver that lets its open run on regardless.
    comm->IgnoreCancelOfOpens(true);
    comm->DelayOpens(Win32System::kOpenWithin + 1500ms);
    open();
    // The device answers after all: what it opened is let go, so that the next open finds it free.
    EXPECT_TRUE(WaitUntil([&] { return comm->CallsOf("CloseHandle") == 1 && !comm->Open(); }, 5s));
}
