// What pseudo-terminals cannot show, on a scripted system: modem lines, line errors, a slowly
// draining transmitter, a line slower than the lines made for it, short writes, failed waits,
// the dispatch order within one pass, and which setters reach the device at all.
#include "serial/ComPort.h"

#include "os/linux/PseudoTerminal.h"
#include "support/EventRecorder.h"
#include "support/PortsDirectory.h"
#include "support/ScriptedSystem.h"
#include "support/Waiting.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/ioctl.h>
#include <utility>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class ScriptedPort : public ::testing::Test {
protected:
    void SetUp() override { port.SetDeviceName(pty.SlavePath()); }
    // A test that fails while it holds the event thread must not leave it parked at the gate.
    void TearDown() override { system->Release(); }

    // Holds the event thread at its next poll and waits until it is there.
    void HoldThread()
    {
        system->Hold();
        ASSERT_TRUE(WaitUntil([&] { return system->Held(); }));
    }

    // Bytes from the far end, already queued on the port's side when this returns.
    void Arrive(const std::string& bytes)
    {
        pty.Send(bytes);
        ASSERT_TRUE(WaitUntil([&] { return pty.SlaveQueued() >= int(bytes.size()); }));
    }

    // Bytes arrive while a written byte leaves: one pass of the event thread finds both, and
    // the receive handler has run once when this returns.
    void ReceiveAsTheQueueEmpties()
    {
        port.Open();
        system->SetOutputQueue(5);
        port.WriteString("x");
        HoldThread();
        Arrive("abc");
        system->SetOutputQueue(0);
        system->Release();
        ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") == 1; }));
        RunEventLoop(30ms);
    }

    PseudoTerminal pty;
    const PortsDirectory ports;
    std::shared_ptr<ScriptedSystem> system = std::make_shared<ScriptedSystem>(ports.Names());
    TComPort port{nullptr, system};
    EventRecorder recorder;
};

} // namespace

TEST_F(ScriptedPort, OnePassDeliversModemChangesThenReceivedBytesThenTransmitEmpty)
{
    system->SetModemLines(0);
    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.SetOnCTSChange(TNotifyEvent(&recorder, &EventRecorder::Cts));
    // While the CTS handler runs, the thread cannot begin another pass: whatever follows in
    // this dispatch was found in the same pass.
    recorder.during = [&](const std::string& event) {
        if (event == "cts")
            system->Hold();
        if (event == "tx")
            system->Release();
    };
    port.Open();
    system->SetOutputQueue(5); // the write below has not drained yet
    port.WriteString("x");
    HoldThread();
    system->SetModemLines(TIOCM_CTS);
    Arrive("abc");
    system->SetOutputQueue(0);
    system->Release();

    ASSERT_TRUE(WaitUntil([&] { return recorder.events.size() == 3; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"cts", "rx", "tx"}));
    system->Release();
}

TEST_F(ScriptedPort, AnExceptionEndsItsDispatchButNotTheThread)
{
    std::vector<std::string> shown;
    port.SetOnException(
        [&](TCustomComPort*, const std::exception& error) { shown.push_back(error.what()); });
    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    recorder.during = [&](const std::string& event) {
        if (event == "rx" && recorder.Count("rx") == 1) {
            port.ReadString();
            throw Exception("receive failed");
        }
    };
    ASSERT_NO_FATAL_FAILURE(ReceiveAsTheQueueEmpties());
    EXPECT_EQ(recorder.Count("tx"), 0) << "the rest of that dispatch is skipped";
    EXPECT_EQ(shown, std::vector<std::string>{"receive failed"});

    pty.Send("more");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") == 2; }));
    port.WriteString("y");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("tx") == 1; }));
}

TEST_F(ScriptedPort, ModemLineChangesAreSampledWhileTheyHaveHandlers)
{
    system->SetModemLines(TIOCM_CTS);
    port.SetOnDSRChange(TNotifyEvent(&recorder, &EventRecorder::Dsr));
    port.SetOnRing(TNotifyEvent(&recorder, &EventRecorder::Ring));
    port.SetOnRLSDChange(TNotifyEvent(&recorder, &EventRecorder::Rlsd));
    port.Open();
    EXPECT_EQ(port.EventMask(), 0x0130u);
    RunEventLoop(30ms);
    EXPECT_TRUE(recorder.events.empty()) << "the starting state is no change";

    system->SetModemLines(TIOCM_CTS | TIOCM_DSR);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("dsr") == 1; }));
    system->SetModemLines(TIOCM_DSR | TIOCM_RNG | TIOCM_CAR);
    ASSERT_TRUE(WaitUntil([&] { return recorder.events.size() == 3; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"dsr", "ring", "rlsd"}))
        << "CTS has no handler, so its change is not delivered";

    const TModemStatus status = port.GetModemStatus();
    EXPECT_FALSE(status[msCTS]);
    EXPECT_TRUE(status[msDSR]);
    EXPECT_TRUE(status[msRing]);
    EXPECT_TRUE(status[msRLSD]);
}

TEST_F(ScriptedPort, NoModemSamplingWithoutModemHandlers)
{
    system->SetModemLines(0);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return system->ThreadWaits() > 0; }));
    RunEventLoop(20ms);
    const int before = system->CallCount();
    RunEventLoop(100ms);
    EXPECT_LE(system->CallCount() - before, 1) << "an idle line costs no calls";
}

TEST_F(ScriptedPort, LineErrorsBreaksAndShortModemPulsesComeFromTheKernelsCounters)
{
    serial_icounter_struct counts{};
    system->SetCounters(counts);
    system->SetModemLines(0);
    port.SetOnCTSChange(TNotifyEvent(&recorder, &EventRecorder::Cts));
    TLineErrors seen;
    int lineErrorCalls = 0;
    port.SetOnLineError([&](QObject*, TLineErrors errors) {
        ++lineErrorCalls;
        seen |= errors;
    });
    port.SetOnBreak(TNotifyEvent(&recorder, &EventRecorder::Break));
    port.Open();
    EXPECT_EQ(port.EventMask(), 0x00C8u);

    counts.frame = 2;
    counts.brk = 1;
    system->SetCounters(counts);
    ASSERT_TRUE(WaitUntil([&] { return lineErrorCalls >= 1 && recorder.Count("break") == 1; }));
    EXPECT_TRUE(seen[leFrame]);
    EXPECT_TRUE(seen[leBreak]);
    EXPECT_FALSE(seen[leParity]);

    // CTS went up and down again between two samples: the level looks unchanged, the count
    // does not.
    counts.cts = 2;
    system->SetCounters(counts);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("cts") == 1; }));

    // The port's own checks read and clear them too: a write reports a new overrun.
    seen.reset();
    const int callsBefore = lineErrorCalls;
    port.SetOnBreak(nullptr);
    port.SetOnLineError(nullptr);
    port.SetOnLineError([&](QObject*, TLineErrors errors) {
        ++lineErrorCalls;
        seen |= errors;
    });
    counts.overrun = 1;
    system->SetCounters(counts);
    port.WriteString("x");
    port.WriteString("y"); // checks the errors after waiting for "x"
    EXPECT_GT(lineErrorCalls, callsBefore);
    EXPECT_TRUE(seen[leOverrun]);
}

TEST_F(ScriptedPort, TransmitEmptyWaitsForTheOutputQueueToDrain)
{
    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    port.Open(); // which empties the kernel's queue
    system->SetOutputQueue(100);
    port.WriteString("data");
    RunEventLoop(30ms);
    EXPECT_EQ(recorder.Count("tx"), 0) << "bytes still queued in the kernel";
    system->SetOutputQueue(0);
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("tx") == 1; }));
    RunEventLoop(30ms);
    EXPECT_EQ(recorder.Count("tx"), 1);
}

TEST_F(ScriptedPort, OnASlowLineAWriteEndsWhenItsBytesAreOnTheLine)
{
    // Actual Time's 13 ms tick of 23-byte lines against a line that carries 2400 baud: lines
    // are made seven times faster than the line takes them.
    system->DrainAt(2400);
    port.SetBaudRate(br2400);
    port.Timeouts().SetWriteConstant(500);
    std::vector<std::string> errors;
    port.SetOnError([&](TCustomComPort*, EComError& error, TComAction& action) {
        errors.push_back(error.Message());
        action = caAbort;
    });
    port.Open();
    auto line = [](int n) {
        char text[24];
        std::snprintf(text, sizeof text, "%-22d\r", n);
        return std::string(text);
    };
    int sent = 0;
    QTimer tick;
    tick.setInterval(13);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        try {
            port.WriteString(line(sent));
            ++sent;
        } catch (const EAbort&) {
        }
    });
    tick.start();
    ASSERT_TRUE(WaitUntil([&] { return sent >= 10; }, 60s));
    tick.stop();
    port.WriteString(""); // waits for the last line and reports how it ended

    EXPECT_EQ(errors, std::vector<std::string>{}) << "no \"Timeout\"";
    EXPECT_LE(system->MostQueuedAtWrite(), 23) << "each write waited for the line before it";
    std::string expected;
    for (int n = 0; n < sent; ++n)
        expected += line(n);
    EXPECT_EQ(pty.Receive(expected.size()), expected) << "every line arrived whole";

    // A USB adapter that takes the line into its own buffer reports an empty queue at once and
    // cannot say when the line has left (cp210x): the write ends no sooner than it can have.
    system->PlayDriver(ScriptedSystem::Driver::UsbSerial);
    system->DrainAt(2400, 4096, 10, 512);
    const std::uint64_t before = system->TakenBytes();
    port.Write(line(0).data(), 23, true);
    const auto done = std::chrono::steady_clock::now();
    ASSERT_TRUE(system->LeftTheLine(before + 23));
    EXPECT_GE(done, *system->LeftTheLine(before + 23));
}

TEST_F(ScriptedPort, LinesKeepTheirPaceOnAnAdapterThatCountsWholeTransferBuffers)
{
    // cdc_acm counts each write as a full 1280-byte transfer buffer until its USB transfer
    // completes a moment later: neither a second's drain nor an unplug.
    system->DrainAt(9600);
    system->CountWholeBuffers(1280, 1ms);
    port.SetBaudRate(br9600);
    port.Timeouts().SetWriteConstant(100);
    std::vector<std::string> errors;
    port.SetOnError([&](TCustomComPort*, EComError& error, TComAction&) {
        errors.push_back(error.Message());
    });
    port.Open();
    const std::string line = "   .    03:36:10.80   \r";
    const auto start = std::chrono::steady_clock::now();
    for (int n = 0; n < 10; ++n)
        port.WriteString(line);
    port.WriteString("");
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(errors, std::vector<std::string>{});
    // Ten lines take 0.24 s on the line; taking the counts at their word took 3.5 s.
    EXPECT_LT(took, 1s) << "each write waits about its own time on the line";
    EXPECT_EQ(pty.Receive(10 * line.size()), [&] {
        std::string all;
        for (int n = 0; n < 10; ++n)
            all += line;
        return all;
    }());
}

TEST_F(ScriptedPort, AStuckTransmitterTimesOutAndSlowOneGetsEverythingOut)
{
    port.Timeouts().SetWriteConstant(30);
    port.Open();
    system->LimitWrites(0);
    port.WriteString("stuck");
    EXPECT_THROW(port.WriteString("next"), EComError);

    // A kernel queue of 4 bytes: the write returns with the rest still to go, and the event
    // loop hands it over as room appears.
    system->LimitWrites(std::nullopt);
    port.Timeouts().SetWriteConstant(0);
    pty.Receive(100, 20);
    system->DrainAt(9600, 4);
    port.SetBaudRate(br9600);
    const std::string text(40, 's');
    port.WriteString(text);
    std::string arrived = pty.Receive(text.size(), 0);
    EXPECT_LT(arrived.size(), text.size()) << "the rest waits for room";
    ASSERT_TRUE(WaitUntil([&] {
        arrived += pty.Receive(text.size() - arrived.size(), 0);
        return arrived.size() == text.size();
    }));
    EXPECT_EQ(arrived, text);
    const char data[] = "waits";
    port.Write(data, 5, true); // the caller waits, until its bytes are on the line
    EXPECT_EQ(pty.Receive(5, 0), "waits");
    EXPECT_EQ(system->QueuedNow(), 0);

    system->LimitWrites(0);
    port.Timeouts().SetWriteMultiplier(10);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(port.Write(data, 5, true), EComError) << "5 bytes x 10 ms is the limit";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 45ms);
}

TEST_F(ScriptedPort, ASetterWithTheStoredValueMakesNoSystemCall)
{
    port.SetParity(paNone);
    port.Open();
    const int before = system->AttributeCalls();
    port.SetParity(paNone);
    port.SetBaudRate(brDefault);
    port.FlowControl().SetRTS(rcDefault);
    port.Characters().SetXOn(17);
    port.SetOptions(TOptions());
    EXPECT_EQ(system->AttributeCalls(), before);
    port.SetStopBits(sb2);
    EXPECT_EQ(system->AttributeCalls(), before + 3) << "read, change, write back, read back";
    port.Characters().SetXOff(23);
    EXPECT_EQ(system->AttributeCalls(), before + 6);
}

TEST_F(ScriptedPort, AssigningTheHandlerTheSlotHoldsChangesNothing)
{
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    const int before = system->OwnerCallCount();
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    EXPECT_EQ(system->OwnerCallCount(), before);
    EXPECT_TRUE(port.HasEventThread());
}

TEST_F(ScriptedPort, DTRAndRTSLevelsReachDevicesThatHaveThem)
{
    system->SetModemLines(0);
    port.Open();
    port.SetDTR();
    int lines = 0;
    system->Ioctl(-1, TIOCMGET, &lines);
    EXPECT_TRUE(lines & TIOCM_DTR);
    port.FlowControl().SetRTS(rcEnable);
    system->Ioctl(-1, TIOCMGET, &lines);
    EXPECT_TRUE(lines & TIOCM_RTS);
    port.FlowControl().SetDTR(dcDisable);
    system->Ioctl(-1, TIOCMGET, &lines);
    EXPECT_FALSE(lines & TIOCM_DTR);
}

TEST_F(ScriptedPort, NoThreadMeansCantCreateThread)
{
    termios found{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &found), 0);
    cfsetospeed(&found, B4800);
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &found), 0);
    system->FailWakeDescriptor(true);
    port.SetBaudRate(br2400);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    try {
        port.Open();
        FAIL() << "opened without its thread";
    } catch (const EComError& error) {
        EXPECT_EQ(error.ErrorCode(), 0);
        EXPECT_EQ(error.Message(), "Can't create thread");
    }
    EXPECT_FALSE(port.GetActive()) << "a failed opening leaves the port Closed";
    termios now{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &now), 0);
    EXPECT_EQ(cfgetospeed(&now), B4800) << "and the line as it was";

    port.SetOnRxChar(nullptr);
    port.Open();
    EXPECT_THROW(port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx)), EComError);
    EXPECT_TRUE(port.OnTxEmpty()) << "the handler is stored all the same";
    system->FailWakeDescriptor(false);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    EXPECT_TRUE(port.HasEventThread());
}

TEST_F(ScriptedPort, AFailedWaitIsReportedOnceAndThePortStaysOpenWithoutThread)
{
    std::vector<int> codes;
    std::vector<std::string> texts;
    port.SetOnError([&](TCustomComPort*, EComError& error, TComAction& action) {
        codes.push_back(error.ErrorCode());
        texts.push_back(error.Message());
        action = caAbort;
    });
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    system->FailPoll(ENOMEM);
    pty.Send("x"); // wakes the thread into the failing poll
    ASSERT_TRUE(WaitUntil([&] { return !codes.empty(); }));
    RunEventLoop(30ms);
    EXPECT_EQ(codes, std::vector<int>{ENOMEM});
    EXPECT_EQ(texts, std::vector<std::string>{std::strerror(ENOMEM)});
    EXPECT_TRUE(port.GetActive());
    EXPECT_FALSE(port.HasEventThread());

    system->FailPoll(0);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    EXPECT_FALSE(port.HasEventThread()) << "the same handler again is no change";
    port.SetOnRxChar(nullptr);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    EXPECT_TRUE(port.HasEventThread()) << "a new mask starts a new thread";
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") == 1; }));
}

TEST_F(ScriptedPort, ADeviceThatVanishesUnderAnyErrorIsReportedGoneWithItsOwnNumber)
{
    // The number as the kernel gave it, and what it means.
    std::vector<std::pair<int, TComErrorKind>> codes;
    port.SetOnError([&](TCustomComPort*, EComError& e, TComAction&) {
        codes.emplace_back(e.ErrorCode(), e.Kind());
    });
    const auto gone = [](int error) { return std::vector{std::pair{error, ekGone}}; };
    for (const int error : {ENODEV, ENXIO, EIO}) {
        // The event thread finds it gone.
        codes.clear();
        port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
        system->FailIoctl(FIONREAD, 0);
        port.Open();
        system->FailIoctl(FIONREAD, error);
        pty.Send("x");
        ASSERT_TRUE(WaitUntil([&] { return !port.GetActive(); })) << error;
        EXPECT_EQ(codes, gone(error)) << error;
        system->FailIoctl(FIONREAD, 0);
        pty.Receive(100, 1);
        // Clear what arrived, for the next round.
        port.SetOnRxChar(nullptr);
        port.Open();
        port.ReadString();

        // A write that is still draining finds it gone: no success, and the port is closed.
        codes.clear();
        system->SetOutputQueue(0);
        port.WriteString("a"); // an empty queue is the starting point
        system->SetOutputQueue(1);
        port.WriteString("b");
        system->FailIoctl(TIOCOUTQ, error);
        EXPECT_THROW(port.WriteString("c"), EComError) << error;
        EXPECT_EQ(codes, gone(error)) << error;
        EXPECT_FALSE(port.GetActive()) << error;
        system->FailIoctl(TIOCOUTQ, 0);
        system->SetOutputQueue(std::nullopt);
        pty.Receive(100, 1);
    }

    // An adapter pulled out throws its queue away before its line hangs up: a queue that empties
    // faster than the line carries is a success only when no hang-up follows.
    codes.clear();
    port.SetBaudRate(br9600);
    port.Open();
    system->SetOutputQueue(0);
    port.WriteString("a");
    const std::string drainingLine(3000, 'b'); // 3 s on the line
    system->SetOutputQueue(3000);
    port.WriteString(drainingLine);
    system->SetOutputQueue(0);
    port.WriteString("c");
    EXPECT_TRUE(codes.empty());
    system->SetOutputQueue(3000);
    port.WriteString(drainingLine);
    system->SetOutputQueue(0);
    system->HangUp(true);
    EXPECT_THROW(port.WriteString("e"), EComError);
    RunEventLoop(30ms);
    EXPECT_EQ(codes, gone(EIO)) << "reported once";
    EXPECT_FALSE(port.GetActive());
    system->HangUp(false);

    // cdc_acm completes a line's transfer as the adapter takes it, long before the line has
    // carried it. Pulled out a third of the way through, with the hang-up coming while the line
    // would still be on its way: the line is no success.
    codes.clear();
    system->SetOutputQueue(std::nullopt);
    system->DrainAt(9600);
    system->CountWholeBuffers(1280, 1ms);
    port.Open();
    const std::uint64_t before = system->TakenBytes();
    port.WriteString(std::string(299, 'u') + "\r");
    ASSERT_TRUE(system->LeftTheLine(before + 100));
    system->Unplug(*system->LeftTheLine(before + 100), 100ms);
    EXPECT_THROW(port.WriteString(""), EComError);
    EXPECT_EQ(codes, gone(EIO));
}

TEST_F(ScriptedPort, ThreadPriorityCanChangeWhileTheThreadRuns)
{
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return system->EventThreadId() != 0; }));
    // The thread's scheduling policy and nice value, as the kernel has them.
    const std::string stat = "/proc/self/task/" + std::to_string(system->EventThreadId()) + "/stat";
    auto scheduling = [&] {
        std::ifstream file(stat);
        std::string line;
        std::getline(file, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
        return std::pair(std::stoi(field.at(38)), std::stoi(field.at(16))); // fields 41 and 19
    };
    if (geteuid() == 0) {
        EXPECT_EQ(scheduling().first, SCHED_FIFO) << "time-critical is real-time where allowed";
    }
    // Each step lowers the priority, which needs no privileges unless the process itself runs
    // niced already: then only root gets the step's own value.
    const int base = geteuid() == 0 ? -20 : getpriority(PRIO_PROCESS, 0);
    struct Step {
        TThreadPriority priority;
        int policy;
        int nice;
    };
    for (const Step step : {Step{tpNormal, SCHED_OTHER, 0}, Step{tpLower, SCHED_OTHER, 5},
                            Step{tpLowest, SCHED_OTHER, 10}, Step{tpIdle, SCHED_IDLE, 19}}) {
        port.SetThreadPriority(step.priority);
        EXPECT_EQ(port.ThreadPriority(), step.priority);
        const auto wanted = std::pair(step.policy, std::max(step.nice, base));
        EXPECT_TRUE(WaitUntil([&] { return scheduling() == wanted; })) << step.priority;
    }
}

TEST_F(ScriptedPort, NewSettingsAndClosingLetTheLastLineLeaveFirstAndNeverWaitLong)
{
    auto last = [&](const std::string& name) {
        std::optional<ScriptedSystem::Call> found;
        for (const ScriptedSystem::Call& call : system->Calls())
            if (call.name == name)
                found = call;
        return found;
    };
    // The last line is still on its way at 2400 baud when Kappa mode is chosen, and again when
    // the port closes: the new frame, and the line settings found at open, come only after it
    // has left, the UART's FIFO included, so it does not end in another frame or at another
    // rate.
    system->DrainAt(2400, 4096, 10, 16);
    port.SetBaudRate(br2400);
    port.Open();
    const std::string line = std::string(22, '7') + "\r";
    port.WriteString(line);
    port.SetStopBits(sb2);
    auto changed = last("tcsetattr");
    ASSERT_TRUE(changed && system->LeftTheLine(23));
    EXPECT_GE(changed->at, *system->LeftTheLine(23));
    port.WriteString(line);
    port.Close();
    changed = last("tcsetattr");
    ASSERT_TRUE(changed && system->LeftTheLine(46));
    EXPECT_GE(changed->at, *system->LeftTheLine(46));

    // A line that flow control holds up: the close waits only as long as 64 bytes take on the
    // line for the queue to move, throws the rest away, and only then restores the settings
    // and closes, on a thread of its own even with the queue empty (the kernel may still wait
    // for the chip's own FIFO, or for a request it cannot interrupt).
    port.Open();
    system->SetOutputQueue(4000);
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 266ms);
    EXPECT_LT(took, 1s);
    std::vector<std::string> order;
    for (const ScriptedSystem::Call& call : system->Calls())
        if (call.at >= start)
            order.push_back(call.name);
    EXPECT_EQ(order, (std::vector<std::string>{"flush output", "tcsetattr", "close"}));
    EXPECT_EQ(system->ClosesOnOwnerThread(), 0);

    // A USB adapter that took the line into its own buffer reports an empty queue and cannot
    // say when the line has left (no TIOCSERGETLSR): Kappa mode still waits for its time on the
    // line.
    system->SetOutputQueue(std::nullopt);
    system->PlayDriver(ScriptedSystem::Driver::UsbSerial);
    system->DrainAt(2400, 4096, 10, 512);
    port.Open();
    port.WriteString(line);
    port.SetParity(paEven);
    changed = last("tcsetattr");
    ASSERT_TRUE(changed && system->LeftTheLine(69));
    EXPECT_GE(changed->at, *system->LeftTheLine(69));
}

TEST_F(ScriptedPort, WithoutTimeOutsAStalledLineStillEndsTheWriteAndACloseGetsThrough)
{
    // Time-outs 0/0, and a line that CTS or XOFF holds with one byte in the kernel's queue.
    port.SetBaudRate(br9600);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    system->SetOutputQueue(0);
    port.WriteString("a");
    system->SetOutputQueue(1);
    port.WriteString("b");
    // Should the write never end, the line gets going again after 10 s and the test fails on
    // the time it took instead of hanging.
    std::mutex mutex;
    std::condition_variable ended;
    bool over = false;
    std::thread unstall([&] {
        std::unique_lock lock(mutex);
        if (!ended.wait_for(lock, 10s, [&] { return over; }))
            system->SetOutputQueue(0);
    });
    std::atomic<bool> closed = false;
    std::thread closer([&] {
        port.Close(); // handed to this thread, which is busy in the write below
        closed = true;
    });
    const auto start = std::chrono::steady_clock::now();
    try {
        port.WriteString("c");
        ADD_FAILURE() << "the stalled write was taken for a success";
    } catch (const EComError& error) {
        EXPECT_EQ(error.Message(), "Timeout");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    {
        std::lock_guard lock(mutex);
        over = true;
    }
    ended.notify_all();
    unstall.join();
    EXPECT_TRUE(WaitUntil([&] { return closed.load(); }));
    closer.join();
    EXPECT_FALSE(port.GetActive());
}

TEST_F(ScriptedPort, BytesThatCameWithAHangUpReachTheHandlerBeforeThePortCloses)
{
    std::string received;
    recorder.during = [&](const std::string&) { received += port.ReadString(); };
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    std::vector<int> codes;
    port.SetOnError([&](TCustomComPort*, EComError& error, TComAction& action) {
        codes.push_back(error.ErrorCode());
        action = caAbort;
    });
    port.Open();
    system->HangUp(true);
    pty.Send("last line\r"); // ends the thread's wait, together with the hang-up
    ASSERT_TRUE(WaitUntil([&] { return !port.GetActive(); }));
    EXPECT_EQ(received, "last line\r");
    EXPECT_EQ(codes, std::vector<int>{5});
}

TEST_F(ScriptedPort, WatchingMoreLinesLosesNothingCountedSinceTheLastLook)
{
    serial_icounter_struct counts{};
    system->SetCounters(counts);
    system->SetModemLines(0);
    TLineErrors seen;
    port.SetOnLineError([&](QObject*, TLineErrors errors) { seen |= errors; });
    port.Open();
    HoldThread();
    // A framing error comes right after the thread's next look, and then a CTS handler is
    // added: the thread must not take the counters afresh and so lose the error.
    counts.frame = 1;
    system->SetCountersAfterNextRead(counts);
    port.SetOnCTSChange(TNotifyEvent(&recorder, &EventRecorder::Cts));
    system->Release();
    EXPECT_TRUE(WaitUntil([&] { return seen[leFrame]; }));
    EXPECT_EQ(recorder.Count("cts"), 0);
}

TEST_F(ScriptedPort, AHandlerThatReopensThePortEndsTheOldSessionsDispatchAndReport)
{
    // The receive handler closes and reopens: the transmit-empty event found in the same pass
    // belongs to the old session and is not delivered to the new one.
    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    recorder.during = [&](const std::string& event) {
        if (event == "rx" && recorder.Count("rx") == 1) {
            port.ReadString();
            port.Close();
            port.Open();
        }
    };
    ASSERT_NO_FATAL_FAILURE(ReceiveAsTheQueueEmpties());
    EXPECT_EQ(recorder.Count("tx"), 0);
    EXPECT_TRUE(port.GetActive());

    // An error handler that reopens the port after a failed wait keeps the new session open.
    int reopened = 0;
    port.SetOnError([&](TCustomComPort*, EComError&, TComAction& action) {
        system->FailPoll(0);
        port.Close();
        port.Open();
        ++reopened;
        action = caAbort;
    });
    system->FailPoll(EIO);
    pty.Send("y"); // wakes the thread into the failing poll
    ASSERT_TRUE(WaitUntil([&] { return reopened == 1; }));
    RunEventLoop(30ms);
    EXPECT_TRUE(port.GetActive());
    EXPECT_TRUE(port.HasEventThread());
}

TEST_F(ScriptedPort, AWriteThatEndsShortCutsNoLineAndLeavesNoBacklog)
{
    std::vector<std::string> errors;
    port.SetOnError([&](TCustomComPort*, EComError& error, TComAction& action) {
        errors.push_back(error.Message());
        action = caAbort;
    });
    auto timesOut = [&](const std::string& text) {
        errors.clear();
        try {
            port.WriteString(text);
        } catch (const EAbort&) {
        }
        return errors == std::vector<std::string>{"Timeout"};
    };
    system->KeepFrames();
    port.SetBaudRate(br2400);
    port.Timeouts().SetWriteConstant(20);
    port.Open();

    // A USB adapter's flush throws nothing away: a line that timed out while the far end held
    // the line still goes out once it lets go. No line is made before it has left, and the next
    // is not done before its own last byte has.
    system->PlayDriver(ScriptedSystem::Driver::UsbSerial);
    system->DrainAt(2400);
    system->Stall(true);
    const std::uint64_t before = system->TakenBytes();
    port.WriteString(std::string(22, 'A') + "\r");
    EXPECT_TRUE(timesOut("B\r"));
    system->Stall(false);
    ASSERT_TRUE(WaitUntil([&] { return !timesOut(std::string(22, 'C') + "\r"); }));
    port.WriteString("");
    const auto cDone = std::chrono::steady_clock::now();
    ASSERT_EQ(system->TakenBytes(), before + 46) << "only A and C were made";
    EXPECT_EQ(system->MostQueuedAtWrite(), 0) << "C was made while A was queued";
    EXPECT_GE(cDone, *system->LeftTheLine(before + 46)) << "C was done before it had left";
    pty.Receive(100, 0);
    system->PlayDriver(ScriptedSystem::Driver::Uart);

    // Actual Time against a far end that takes half what the port's rate carries: 23-byte lines
    // that need 192 ms, an allowance of 116 ms. Lines the port cannot get out in time are
    // dropped whole; each line that reaches the line is whole, and none waits behind another.
    system->DrainAt(1200);
    const std::uint64_t first = system->TakenBytes();
    int attempts = 0;
    int timeOuts = 0;
    QTimer tick;
    tick.setInterval(25);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        char line[24];
        std::snprintf(line, sizeof line, "%-22d\r", attempts++);
        timeOuts += timesOut(line);
    });
    tick.start();
    ASSERT_TRUE(WaitUntil([&] { return attempts >= 40; }, 60s));
    tick.stop();
    EXPECT_GT(timeOuts, 0);
    int whole = 0;
    std::string cut;
    for (int line = 0; line < attempts; ++line) {
        int onTheLine = 0;
        for (int byte = 1; byte <= 23; ++byte)
            onTheLine += system->LeftTheLine(first + 23 * line + byte).has_value();
        whole += onTheLine == 23;
        if (onTheLine % 23)
            cut += " " + std::to_string(onTheLine);
    }
    EXPECT_EQ(cut, "") << "lines cut after so many bytes";
    EXPECT_GE(whole, 3);
    EXPECT_EQ(system->MostQueuedAtWrite(), 0) << "a line waited behind another";
    port.PurgeOutput();
    pty.Receive(10000, 0);

    // A line that does not move at all is thrown away whole: nothing waits in the queue for
    // the lines after it.
    system->DrainAt(1);
    port.WriteString("stuck");
    EXPECT_TRUE(timesOut("next"));
    EXPECT_EQ(system->QueuedNow(), 0);
    pty.Receive(100, 0);

    // 7-E-2: 11 bits a byte, so 240 bytes need 1.1 s on the line, and a write that merely
    // waits for a slow line must get that time on top of its allowance. This line barely moves:
    // the write ends short then, and not a moment sooner. Its rest is on its way: a write
    // meanwhile is not made at all.
    system->DrainAt(24, 4096, 11);
    port.SetDataBits(db7);
    port.SetParity(paEven);
    port.SetStopBits(sb2);
    const auto start = std::chrono::steady_clock::now();
    port.WriteString(std::string(240, 'k'));
    EXPECT_TRUE(timesOut("next"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 1120ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(timesOut("more"));
    EXPECT_EQ(pty.Receive(250, 50), std::string(240, 'k'));
    port.PurgeOutput();
}
