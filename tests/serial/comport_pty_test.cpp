// The driver on real pseudo-terminals: opening by COM name, exclusive use, line settings as the
// device sees them, writes and reads, the write time-out, line events on the user-interface
// thread, and a far end that goes away.
#include "serial/ComPort.h"
#include "serial/linux/CustomBaud.h"

#include "os/linux/PortHolder.h"
#include "os/linux/PseudoTerminal.h"
#include "os/linux/UniqueFd.h"
#include "support/CatchComError.h"
#include "support/EventRecorder.h"
#include "support/PortsDirectory.h"
#include "support/ProcessCounts.h"
#include "support/ScriptedSystem.h"
#include "support/Waiting.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::string Text(int error) { return std::strerror(error); }

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ports.Link(5, pty.SlavePath());
        port.SetDeviceName("COM5");
    }

    termios DeviceSettings() const
    {
        termios record{};
        tcgetattr(pty.Slave(), &record);
        return record;
    }

    PortsDirectory ports;
    PseudoTerminal pty;
    TComPort port{ports.Names()};
};

// The calls that would change a device: the exclusive flag, and giving up a lock.
class WatchedSystem : public ScriptedSystem {
public:
    using ScriptedSystem::ScriptedSystem;
    int Ioctl(int fd, unsigned long request, void* argument) override
    {
        if (request == TIOCEXCL || request == TIOCNXCL)
            ++exclusiveCalls;
        return ScriptedSystem::Ioctl(fd, request, argument);
    }
    int Flock(int fd, int operation) override
    {
        if (operation == LOCK_UN)
            ++unlocks;
        return ScriptedSystem::Flock(fd, operation);
    }
    std::atomic<int> exclusiveCalls{0};
    std::atomic<int> unlocks{0};
};

// Another program that holds a device open and locked, under a name of its own: a child
// process, killed and reaped when this goes. With `lockerGone` a short-lived child of its own
// takes the lock on the shared descriptor and ends, so that /proc/locks names a process that is
// gone and only the holder's descriptors tell.
class Holder {
public:
    Holder(const std::string& path, bool lockerGone)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Async-signal-safe calls only, as the parent has threads.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0)
                ::_exit(1);
            if (lockerGone) {
                const pid_t locker = ::fork();
                if (locker == 0)
                    ::_exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
                int status = 0;
                if (locker < 0 || ::waitpid(locker, &status, 0) != locker || status != 0)
                    ::_exit(1);
            } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::_exit(1);
            }
            ::prctl(PR_SET_NAME, "marq-holder");
            if (::write(ready[1], "+", 1) != 1)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        pollfd wait{ready[0], POLLIN, 0};
        char answer = 0;
        ready_ = pid_ > 0 && ::poll(&wait, 1, 10000) == 1 && ::read(ready[0], &answer, 1) == 1;
        ::close(ready[0]);
    }
    ~Holder()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0); // SIGKILL ends a process waiting in pause() at once
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool Ready() const { return ready_; }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A line whose last close waits in the kernel, as a USB serial line with output held up does:
// tty_port_close_start (drivers/tty/tty_port.c) drains for up to closing_wait and gives way to a
// signal; cdc_acm's hang-up request at close (drivers/usb/class/cdc-acm.c, acm_ctrl_msg, 5 s)
// does not, and lasts here until Release. Each wait ends after 10 s at most.
class SlowClosingSystem : public LinuxSystem {
public:
    SlowClosingSystem(ComNames names, bool interruptible)
        : LinuxSystem(std::move(names)), interruptible_(interruptible)
    {
    }
    int Open(const std::string& path) override
    {
        openedWhileClosing = openedWhileClosing || closing;
        return LinuxSystem::Open(path);
    }
    int Close(int fd) override
    {
        closing = true;
        if (interruptible_) {
            interrupted = ::poll(nullptr, 0, 10000) < 0 && errno == EINTR;
        } else {
            std::unique_lock lock(mutex_);
            released_.wait_for(lock, 10s, [&] { return release_; });
        }
        const int result = LinuxSystem::Close(fd);
        closing = false;
        return result;
    }
    void Release()
    {
        std::lock_guard lock(mutex_);
        release_ = true;
        released_.notify_all();
    }
    std::atomic<bool> closing{false}, openedWhileClosing{false}, interrupted{false};

private:
    const bool interruptible_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool release_ = false;
};

} // namespace

TEST_F(PtyPort, OpensByComNameAndMovesBytesBothWays)
{
    port.SetActive(true);
    ASSERT_TRUE(port.GetActive());
    port.WriteString("HELLO\r");
    EXPECT_EQ(pty.Receive(6), "HELLO\r");

    EXPECT_EQ(port.ReadString(), "") << "nothing received yet";
    const std::string sent("a\0b\r\xff", 5);
    pty.Send(sent);
    ASSERT_TRUE(WaitUntil([&] { return port.InputCount() == 5; }));
    EXPECT_EQ(port.ReadString(), sent) << "bytes come back unchanged, zero bytes included";
    EXPECT_EQ(port.InputCount(), 0);

    pty.Send("xyz");
    ASSERT_TRUE(WaitUntil([&] { return port.InputCount() == 3; }));
    char buffer[8] = {};
    EXPECT_EQ(port.Read(buffer, 2, true), 2);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    EXPECT_EQ(port.Read(buffer, 8, true), 1) << "a read never waits for more than is there";

    port.WriteChar('!');
    const char raw[] = {'1', '2', '3'};
    port.Write(raw, 3, true);
    EXPECT_EQ(pty.Receive(4), "!123");

    port.SetActive(false);
    EXPECT_FALSE(port.GetActive());
}

TEST_F(PtyPort, PathNamesAndTheLongComSpellingOpenToo)
{
    port.SetDeviceName(pty.SlavePath());
    port.Open();
    EXPECT_TRUE(port.GetActive());
    port.Close();
    ports.Link(12, pty.SlavePath());
    port.SetDeviceName("\\\\.\\COM12");
    port.Open();
    EXPECT_TRUE(port.GetActive());
}

TEST_F(PtyPort, ADeviceHeldOpenElsewhereFailsWithTheSystemsTextAndCanBeOpenedAfterwards)
{
    port.Open();
    TComPort second(ports.Names());
    second.SetDeviceName("COM5");
    const std::size_t before = OpenDescriptors();
    const EComError error = CatchComError([&] { second.Open(); });
    EXPECT_EQ(error.ErrorCode(), EBUSY);
    EXPECT_EQ(error.Kind(), ekBusy) << "a refusal that may pass";
    EXPECT_EQ(error.Message(), Text(EBUSY));
    EXPECT_FALSE(second.GetActive());
    EXPECT_EQ(OpenDescriptors(), before) << "a failed opening leaks nothing";
    // Root gets past the exclusive flag and fails on the lock only: the flag is the first
    // port's, and stays.
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    port.Close();
    ASSERT_EQ(ioctl(pty.Slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "closing gives up its own";
    second.Open();
    EXPECT_TRUE(second.GetActive()) << "closing releases the device at once";
}

TEST_F(PtyPort, AFailedClaimLeavesTheHoldersDeviceAlone)
{
    // Another program holds the line with its lock (a non-root holder's exclusive flag would
    // stop the opening before that).
    const UniqueFd holder(::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    auto system = std::make_shared<WatchedSystem>(port.Names());
    port.SetSystem(system);

    const EComError error = CatchComError([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), EBUSY);
    EXPECT_EQ(error.Message(), Text(EBUSY)) << "this process is never named as the holder";
    EXPECT_FALSE(port.GetActive());
    for (const ScriptedSystem::Call& call : system->Calls())
        EXPECT_EQ(call.name, "close") << "nothing thrown away, nothing put back";
    EXPECT_EQ(system->exclusiveCalls, 0) << "the holder's exclusive flag is not ours to touch";
    EXPECT_EQ(system->unlocks, 0) << "nor is its lock";
}

TEST_F(PtyPort, ABusyDeviceNamesTheProgramThatHoldsIt)
{
    for (const bool lockerGone : {false, true}) {
        const Holder holder(pty.SlavePath(), lockerGone);
        ASSERT_TRUE(holder.Ready()) << lockerGone;
        const EComError error = CatchComError([&] { port.Open(); });
        EXPECT_EQ(error.ErrorCode(), EBUSY) << lockerGone;
        EXPECT_EQ(error.Message(), Text(EBUSY) + " (held by marq-holder, pid " +
                                       std::to_string(holder.Pid()) + ")")
            << lockerGone;
    }
    port.Open();
    EXPECT_TRUE(port.GetActive()) << "free again once the holder has gone";
}

TEST_F(PtyPort, TheHolderIsLookedUpOncePerRefusalAndNotByTheOpeningThread)
{
    // A lookup that takes long (a machine with thousands of descriptors), until it is let go.
    struct {
        std::mutex mutex;
        std::condition_variable done;
        bool answer = false;
        int count = 0;
        std::thread::id thread;
    } lookups;
    port.SetSystem(std::make_shared<LinuxSystem>(port.Names(), [&lookups](const std::string&) {
        std::unique_lock lock(lookups.mutex);
        ++lookups.count;
        lookups.thread = std::this_thread::get_id();
        lookups.done.wait_for(lock, 10s, [&] { return lookups.answer; });
        return std::optional<PortHolder>({::getppid(), "slow-holder"});
    }));
    TComPort holder(ports.Names());
    holder.SetDeviceName("COM5");
    holder.Open();
    // Tried again and again, as the window tries a device that came back busy.
    for (int attempt = 0; attempt < 5; ++attempt)
        EXPECT_EQ(CatchComError([&] { port.Open(); }).Message(), Text(EBUSY)) << attempt;
    std::unique_lock lock(lookups.mutex);
    lookups.answer = true;
    lookups.done.notify_all();
    lock.unlock();
    const std::string named = Text(EBUSY) + " (held by slow-holder, pid " + std::to_string(::getppid()) + ")";
    EXPECT_TRUE(WaitUntil([&] { return CatchComError([&] { port.Open(); }).Message() == named; }));
    lock.lock();
    EXPECT_EQ(lookups.count, 1);
    EXPECT_NE(lookups.thread, std::this_thread::get_id());
}

TEST_F(PtyPort, EveryCloseRunsOnAThreadItsSignalReachesAndNoOpenWaitsForOneThatLingers)
{
    // The thread that closes blocks every signal, as a launcher may leave a program's mask.
    auto slow = std::make_shared<SlowClosingSystem>(port.Names(), true);
    port.SetSystem(slow);
    port.Open();
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    port.Close();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return !slow->closing; }, 15s));
    EXPECT_TRUE(slow->interrupted) << "the kernel's wait was cut short";

    // A close that nothing interrupts lingers on; opening its device meanwhile is refused at
    // once instead of waiting in the kernel for the tty's lock.
    auto stuck = std::make_shared<SlowClosingSystem>(port.Names(), false);
    port.SetSystem(stuck);
    port.Open();
    port.Close();
    ASSERT_TRUE(stuck->closing);
    const EComError error = CatchComError([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), EBUSY);
    EXPECT_FALSE(stuck->openedWhileClosing);
    stuck->Release();
    EXPECT_TRUE(WaitUntil([&] {
        try {
            port.Open();
        } catch (const EComError&) {
        }
        return port.GetActive();
    }, 15s)) << "free once that close has ended";
}

TEST_F(PtyPort, MissingDevicesAndNonTerminalsFailAndLeaveThePortClosed)
{
    ports.Link(6, "/nonexistent/tty");
    struct Row {
        std::string name;
        int error;
        TComErrorKind kind;
    };
    const std::vector<Row> rows = {{"COM6", ENOENT, ekOther},
                                   {"COM100", ENOENT, ekOther},
                                   {"NUL", ENOENT, ekOther},
                                   {"/nonexistent/ttyX", ENOENT, ekOther},
                                   {"/dev/null", ENOTTY, ekUnsupported}};
    for (const Row& row : rows) {
        TComPort other(ports.Names());
        other.SetDeviceName(row.name);
        const std::size_t before = OpenDescriptors();
        const EComError error = CatchComError([&] { other.SetActive(true); });
        EXPECT_EQ(error.ErrorCode(), row.error) << row.name;
        EXPECT_EQ(error.Kind(), row.kind) << row.name;
        EXPECT_EQ(error.Message(), Text(row.error)) << row.name;
        EXPECT_EQ(error.Message().back() != '.', true) << "no trailing full stop";
        EXPECT_FALSE(other.GetActive()) << row.name;
        EXPECT_EQ(OpenDescriptors(), before) << row.name;
    }
}

TEST_F(PtyPort, NameAndDeliveryModeOnlyChangeWhileClosed)
{
    port.Open();
    EXPECT_NO_THROW(port.SetDeviceName("COM5")) << "the same name is no change";
    const EComError error = CatchComError([&] { port.SetDeviceName("COM6"); });
    EXPECT_EQ(error.ErrorCode(), 0);
    EXPECT_EQ(error.Message(), "Can't perform this operation on an open port");
    EXPECT_EQ(port.DeviceName(), "COM5");
    EXPECT_NO_THROW(port.SetSynchronizeEvents(true));
    EXPECT_THROW(port.SetSynchronizeEvents(false), EComError);
    EXPECT_TRUE(port.SynchronizeEvents());
    EXPECT_THROW(port.CheckInactive(), EComError);
}

// Pseudo-terminals keep no data bits or parity but 8-N, so the markers here are the rate and
// the stop bits.
TEST_F(PtyPort, DefaultMembersLeaveTheLineAsTheDeviceHadItAndClosingPutsItBack)
{
    termios start = DeviceSettings();
    cfsetispeed(&start, B4800);
    cfsetospeed(&start, B4800);
    start.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty.Slave(), TCSANOW, &start), 0);

    port.Open();
    termios now = DeviceSettings();
    EXPECT_EQ(cfgetospeed(&now), B4800);
    EXPECT_TRUE(now.c_cflag & CSTOPB);

    port.SetBaudRate(br2400);
    now = DeviceSettings();
    EXPECT_EQ(cfgetospeed(&now), B2400);
    EXPECT_TRUE(now.c_cflag & CSTOPB) << "nothing else changed";

    port.SetBaudRate(br15625);
    EXPECT_EQ(customBaud::Get(pty.Slave()), 15625);
    port.SetStopBits(sb1);
    EXPECT_EQ(customBaud::Get(pty.Slave()), 15625) << "a custom rate survives other changes";
    EXPECT_FALSE(DeviceSettings().c_cflag & CSTOPB);
    port.SetBaudRate(br9600);
    now = DeviceSettings();
    EXPECT_EQ(cfgetospeed(&now), B9600);

    port.Close();
    now = DeviceSettings();
    EXPECT_EQ(cfgetospeed(&now), B4800) << "the next program finds the line as it was";
    EXPECT_TRUE(now.c_cflag & CSTOPB);
}

TEST_F(PtyPort, ASettingTheDeviceRefusesKeepsTheNewValueAndTheOldLine)
{
    port.SetStopBits(sb2);
    port.Open();
    const EComError error = CatchComError([&] { port.SetStopBits(sb1_5); });
    EXPECT_EQ(error.ErrorCode(), EINVAL);
    EXPECT_EQ(error.Message(), Text(EINVAL));
    EXPECT_EQ(port.StopBits(), sb1_5);
    EXPECT_TRUE(DeviceSettings().c_cflag & CSTOPB);
    EXPECT_TRUE(port.GetActive());

    port.Close();
    EXPECT_THROW(port.Open(), EComError) << "the stored setting fails at the next opening";
    EXPECT_FALSE(port.GetActive());
    port.SetStopBits(sb2);
    port.SetDataBits(db4);
    EXPECT_THROW(port.Open(), EComError);
    port.SetDataBits(db8);
    port.Open();
    EXPECT_TRUE(port.GetActive());
}

TEST_F(PtyPort, VirtualPortsOpenInSevenBitAndParityModesToo)
{
    // A pseudo-terminal refuses any framing but 8-N; the rest of the settings still apply.
    port.SetDataBits(db7);
    port.SetStopBits(sb2);
    port.SetParity(paEven);
    port.SetBaudRate(br9600);
    port.Open();
    ASSERT_TRUE(port.GetActive());
    const termios now = DeviceSettings();
    EXPECT_TRUE(now.c_cflag & CSTOPB);
    EXPECT_EQ(cfgetospeed(&now), B9600);
    EXPECT_EQ(now.c_cflag & CSIZE, tcflag_t(CS8));
    port.SetParity(paOdd);
    port.WriteString("7N2");
    EXPECT_EQ(pty.Receive(3), "7N2");
}

TEST_F(PtyPort, AWriteThatCannotFinishInTimeMakesTheNextOneFailWithTimeout)
{
    port.Timeouts().SetWriteConstant(50);
    port.Open();
    // The far end reads nothing, so the kernel's queue fills and the write cannot finish.
    const std::string big(1 << 20, 'x');
    port.WriteString(big);
    const EComError error = CatchComError([&] { port.WriteString("next"); });
    EXPECT_EQ(error.ErrorCode(), 0);
    EXPECT_EQ(error.Message(), "Timeout");
    const std::string arrived = pty.Receive(big.size() + 4, 200);
    EXPECT_LT(arrived.size(), big.size()) << "the rest of the first write is lost";
    EXPECT_EQ(arrived.find("next"), std::string::npos) << "the failed write sent nothing";

    port.WriteString("ok");
    EXPECT_EQ(pty.Receive(2), "ok") << "the port works on after the time-out";
}

TEST_F(PtyPort, AWriteThatEndedShortEarlierIsStillReported)
{
    port.Timeouts().SetWriteConstant(20);
    port.Open();
    port.WriteString(std::string(1 << 20, 'x'));
    RunEventLoop(100ms); // the write ends short in the background
    EXPECT_THROW(port.WriteString("next"), EComError);
    pty.Receive(1 << 20, 100);
    EXPECT_NO_THROW(port.WriteString("again"));
}

TEST_F(PtyPort, WritesGoOutInTheBackgroundWithoutFurtherCalls)
{
    port.Open();
    const std::string big(200000, 'y');
    port.WriteString(big); // more than the kernel takes at once
    std::string arrived;
    ASSERT_TRUE(WaitUntil([&] {
        arrived += pty.Receive(big.size() - arrived.size(), 1);
        return arrived.size() == big.size();
    }));
    EXPECT_EQ(arrived, big);
}

TEST_F(PtyPort, PurgeOutputDropsThePendingWriteWithoutATimeout)
{
    port.Timeouts().SetWriteConstant(1000);
    port.Open();
    port.WriteString(std::string(1 << 20, 'x'));
    port.PurgeOutput();
    pty.Receive(1 << 20, 100);
    EXPECT_NO_THROW(port.WriteString("after"));
}

TEST_F(PtyPort, EmptyWriteSendsNothingButStillWaitsForThePreviousOne)
{
    port.Timeouts().SetWriteConstant(30);
    port.Open();
    port.WriteString(std::string(1 << 20, 'x'));
    EXPECT_THROW(port.WriteString(""), EComError) << "it waited and saw the short write";
    pty.Receive(1 << 20, 100);
    port.WriteString("");
    EXPECT_EQ(pty.Receive(1, 50), "");
}

TEST_F(PtyPort, ATerminalWithoutModemLinesHasAnEmptyStatusAndIgnoresDTR)
{
    port.Open();
    EXPECT_TRUE(port.GetModemStatus().none());
    EXPECT_NO_THROW(port.SetDTR());
    port.FlowControl().SetDTR(dcEnable);
    port.FlowControl().SetRTS(rcDisable);
    EXPECT_TRUE(port.GetActive());
}

TEST_F(PtyPort, EnumerationListsLiveLinksOnlyAndAppends)
{
    ports.Link(6, "/nonexistent/tty");
    ports.Link(98, pty.SlavePath());
    QStringList list{"none"};
    port.EnumComDevices(list);
    EXPECT_EQ(list.first(), "none") << "the list is not cleared";
    EXPECT_TRUE(list.contains("COM5"));
    EXPECT_TRUE(list.contains("COM98"));
    EXPECT_FALSE(list.contains("COM6"));
    const std::string description = port.DescribeComDevice("COM5");
    EXPECT_NE(description.find(std::filesystem::canonical(pty.SlavePath()).string()),
              std::string::npos)
        << description;
}

TEST_F(PtyPort, ReceivedBytesReachTheHandlerOnTheUserInterfaceThread)
{
    EventRecorder recorder;
    std::string received;
    recorder.during = [&](const std::string&) { received += port.ReadString(); };
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    EXPECT_TRUE(port.HasEventThread());
    EXPECT_EQ(port.EventMask(), 0x0001u);

    pty.Send("first");
    ASSERT_TRUE(WaitUntil([&] { return received == "first"; }));
    pty.Send("second");
    ASSERT_TRUE(WaitUntil([&] { return received == "firstsecond"; }));
    EXPECT_TRUE(recorder.allOnMainThread);
    for (QObject* sender : recorder.senders)
        EXPECT_EQ(sender, &port);
}

TEST_F(PtyPort, BytesAHandlerLeavesUnreadAreNotReportedAgainButNewOnesAre)
{
    EventRecorder recorder;
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    pty.Send("a");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") == 1; }));
    RunEventLoop(50ms);
    EXPECT_EQ(recorder.Count("rx"), 1) << "unread bytes are no new event";
    pty.Send("b");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") == 2; }));
    EXPECT_EQ(port.ReadString(), "ab");
}

TEST_F(PtyPort, BytesThatArriveWhileTheHandlerRunsAreANewEvent)
{
    EventRecorder recorder;
    std::string received;
    recorder.during = [&](const std::string&) {
        received += port.ReadString();
        if (recorder.Count("rx") == 1) {
            pty.Send("more");
            WaitWithoutEvents([&] { return pty.SlaveQueued() >= 4; }, 5s);
        }
    };
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    pty.Send("one");
    ASSERT_TRUE(WaitUntil([&] { return received == "onemore"; }));
    EXPECT_EQ(recorder.Count("rx"), 2);
}

TEST_F(PtyPort, TheChannelsSixHandlersGiveMask013DAndTheThreadFollowsTheHandlers)
{
    EventRecorder recorder;
    auto assignAll = [&](bool on) {
        auto slot = [&](void (EventRecorder::*method)(QObject*)) {
            return on ? TNotifyEvent(&recorder, method) : TNotifyEvent();
        };
        port.SetOnRxChar(slot(&EventRecorder::Rx));
        port.SetOnCTSChange(slot(&EventRecorder::Cts));
        port.SetOnDSRChange(slot(&EventRecorder::Dsr));
        port.SetOnRing(slot(&EventRecorder::Ring));
        port.SetOnRLSDChange(slot(&EventRecorder::Rlsd));
        port.SetOnTxEmpty(slot(&EventRecorder::Tx));
    };
    assignAll(true);
    EXPECT_FALSE(port.HasEventThread()) << "no thread while Closed";
    port.Open();
    EXPECT_EQ(port.EventMask(), 0x013Du);
    EXPECT_TRUE(port.HasEventThread());

    assignAll(false);
    EXPECT_EQ(port.EventMask(), 0u);
    EXPECT_FALSE(port.HasEventThread());

    // Linux never raises the receive flag: asked for, but not worth a thread.
    port.SetOnRxFlag([](QObject*) {});
    EXPECT_EQ(port.EventMask(), 0x0002u);
    EXPECT_FALSE(port.HasEventThread());
    port.SetOnRxFlag(nullptr);

    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    EXPECT_EQ(port.EventMask(), 0x0004u);
    EXPECT_TRUE(port.HasEventThread());
    port.WriteString("x");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("tx") == 1; })) << "the new thread works";
    port.Close();
    EXPECT_FALSE(port.HasEventThread());
    EXPECT_EQ(port.EventMask(), 0u);
}

TEST_F(PtyPort, TransmitEmptyComesOncePerWrite)
{
    EventRecorder recorder;
    port.SetOnTxEmpty(TNotifyEvent(&recorder, &EventRecorder::Tx));
    port.Open();
    RunEventLoop(30ms);
    EXPECT_EQ(recorder.Count("tx"), 0) << "no write, no event";
    port.WriteString("one");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("tx") == 1; }));
    RunEventLoop(30ms);
    EXPECT_EQ(recorder.Count("tx"), 1);
    port.WriteString("two");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("tx") == 2; }));
    port.WriteString("");
    RunEventLoop(30ms);
    EXPECT_EQ(recorder.Count("tx"), 2) << "an empty write sends nothing";
}

TEST_F(PtyPort, NoHandlerRunsAfterTheUserInterfaceClosedThePort)
{
    EventRecorder recorder;
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    port.Close();
    pty.Send("late");
    RunEventLoop(50ms);
    EXPECT_EQ(recorder.Count("rx"), 0);
    port.Open();
    ASSERT_TRUE(WaitUntil([&] { return port.HasEventThread(); }));
}

TEST_F(PtyPort, AFarEndThatGoesAwayIsReportedOnceAndClosesThePort)
{
    EventRecorder recorder;
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    std::vector<std::pair<int, std::string>> errors;
    bool activeDuringReport = false;
    port.SetOnError([&](TCustomComPort* sender, EComError& error, TComAction& action) {
        errors.emplace_back(error.ErrorCode(), error.Message());
        activeDuringReport = sender->GetActive();
        action = caAbort;
    });
    port.Open();
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !port.GetActive(); }));
    RunEventLoop(50ms);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].first, 5);
    EXPECT_EQ(errors[0].second, "Input/output error");
    EXPECT_TRUE(activeDuringReport);
    EXPECT_FALSE(port.HasEventThread());
}

TEST_F(PtyPort, WithoutAnErrorHandlerTheVanishedDeviceStillReachesTheUser)
{
    std::vector<std::string> shown;
    port.SetOnException(
        [&](TCustomComPort*, const std::exception& error) { shown.push_back(error.what()); });
    port.SetOnRxChar([](QObject*) {});
    port.Open();
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !port.GetActive(); }));
    EXPECT_EQ(shown, std::vector<std::string>{"Input/output error"});
}

TEST_F(PtyPort, AHandlerMayDestroyItsPort)
{
    auto* doomed = new TComPort(ports.Names());
    doomed->SetDeviceName("COM5");
    int calls = 0;
    doomed->SetOnRxChar([&](QObject* sender) {
        ++calls;
        delete sender;
    });
    doomed->Open();
    pty.Send("bye");
    ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
    pty.Send("more");
    RunEventLoop(30ms);
    EXPECT_EQ(calls, 1) << "a destroyed port delivers nothing more";
    port.Open();
    EXPECT_TRUE(port.GetActive()) << "and has let the device go";
}

TEST_F(PtyPort, AnExceptionInAHandlerIsShownAndLaterEventsStillCome)
{
    std::vector<std::string> shown;
    port.SetOnException(
        [&](TCustomComPort*, const std::exception& error) { shown.push_back(error.what()); });
    int calls = 0;
    port.SetOnRxChar([&](QObject*) {
        ++calls;
        port.ReadString();
        if (calls == 1)
            throw Exception("bad packet");
        if (calls == 2)
            throw EAbort();
    });
    port.Open();
    pty.Send("1");
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    pty.Send("2");
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; }));
    pty.Send("3");
    ASSERT_TRUE(WaitUntil([&] { return calls == 3; }));
    EXPECT_EQ(shown, std::vector<std::string>{"bad packet"}) << "the silent abort is not shown";
    EXPECT_TRUE(port.HasEventThread());
}

TEST_F(PtyPort, DestroyingAnOpenPortEndsItsThreadAtOnce)
{
    for (int round = 0; round < 20; ++round) {
        auto port2 = std::make_unique<TComPort>(ports.Names());
        port2->SetDeviceName("COM5");
        port2->SetOnRxChar([](QObject* sender) { static_cast<TComPort*>(sender)->ReadString(); });
        port2->SetThreadPriority(round % 2 ? tpNormal : tpTimeCritical);
        port2->Open();
        ASSERT_TRUE(port2->HasEventThread());
        const std::size_t threads = Threads();
        pty.Send("z");
        port2.reset();
        // Joined at once; the kernel drops the thread's entry a moment after waking the joiner.
        EXPECT_TRUE(WaitWithoutEvents([&] { return Threads() == threads - 1; }, 5s))
            << "round " << round;
    }
    RunEventLoop(20ms); // whatever was handed over meanwhile finds nothing to touch
    port.Open();
    EXPECT_TRUE(port.GetActive());
}

TEST_F(PtyPort, WithoutSynchronisedEventsHandlersStillRunOnTheUserInterfaceThread)
{
    EventRecorder recorder;
    recorder.during = [&](const std::string&) { port.ReadString(); };
    port.SetSynchronizeEvents(false);
    port.SetOnRxChar(TNotifyEvent(&recorder, &EventRecorder::Rx));
    port.Open();
    pty.Send("async");
    ASSERT_TRUE(WaitUntil([&] { return recorder.Count("rx") >= 1; }));
    EXPECT_TRUE(recorder.allOnMainThread);
}

TEST_F(PtyPort, ACloseFromAnotherThreadIsCarriedOutOnTheUserInterfaceThread)
{
    port.SetOnRxChar([](QObject*) {});
    port.Open();
    std::atomic<bool> done = false;
    std::thread closer([&] {
        port.Close();
        done = true;
    });
    const bool closed = WaitUntil([&] { return done.load(); });
    closer.join();
    ASSERT_TRUE(closed);
    EXPECT_FALSE(port.GetActive());
    EXPECT_FALSE(port.HasEventThread());
}
