// vmline_probe: the serial channel's side of the virtual-machine rig, run inside the guest.
// Each command drives the channel the way the window does and prints what it measured, one
// "name value" pair a line, so that the host can read it while the command still runs.
//
//   hold PORT BAUD BITS PARITY STOP SECONDS   open with these settings and send for a while
//   stall PORT OTHER                          close, reopen, change port and rate with lines
//                                             queued (the far end reads nothing)
//   transfer PORT FILE                        send a file, report how it ended
//   drain PORT BYTES                          write and wait until the bytes are on the line
//   time-out PORT BAUD GO                     a line that times out on a stalled line, the
//                                             next one tried at once, and a last one once the
//                                             file GO exists (the far end reads again)
//   wait-port PORT SECONDS                    wait until PORT is in the list of ports
//   far-end DEVICE                            the far end of a line inside the guest (a
//                                             gadget's ttyGS0, or "pty": a pseudo-terminal's
//                                             master): every line it takes, with the moment
//                                             (the guest's clock), until killed
//
// The far end uses the device directly, without the channel.

#include "os/linux/UniqueFd.h"
#include "os/SystemText.h"
#include "protocol/DisplayLine.h"
#include "serial/NexCom.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

void Say(const std::string& name, const std::string& value)
{
    std::printf("%s %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

void SayTime(const std::string& name, const QElapsedTimer& clock)
{
    Say(name, std::to_string(clock.nsecsElapsed() / 1e9));
}

void RunEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

int PortNumber(const std::string& name)
{
    return std::stoi(name.substr(3));
}

// Opens `port` ("COMn") at `baud`, as the window does.
void Open(TNexComThread& channel, const std::string& port, int baud)
{
    channel.SetPort(PortNumber(port));
    channel.SetBaud(baud);
    channel.OpenPort();
}

// Hands 40 numbered lines of `tag` to the channel in one write, which returns at once: on a
// stalled line they stay queued in the kernel.
int Fill(TNexComThread& channel, const std::string& tag)
{
    std::string lines;
    for (int n = 0; n < 40; ++n) {
        char line[32];
        std::snprintf(line, sizeof line, "%s %04d ..............\r", tag.c_str(), n);
        lines.append(line, 23);
    }
    channel.SendText(lines);
    return 40;
}

int Hold(const ComNames& names, const std::string& port, int baud, int bits, char parity, int stop,
         int seconds)
{
    TNexComThread channel(names);
    Open(channel, port, baud);
    channel.SetDataBits(TNexComThread::DataBitsFromCount(bits));
    channel.SetParity(parity == 'E' ? paEven : parity == 'O' ? paOdd : paNone);
    channel.SetStopBits(stop == 2 ? sb2 : sb1);
    Say("opened", port);
    for (int i = 0; i < seconds * 10; ++i) {
        channel.SendText("U");
        RunEventsFor(100);
    }
    channel.ClosePort();
    return 0;
}

int Stall(const ComNames& names, const std::string& port, const std::string& other)
{
    TNexComThread channel(names);
    Open(channel, port, 2400);
    QElapsedTimer clock;

    Say("queued", std::to_string(Fill(channel, "old")));
    clock.start();
    channel.ClosePort();
    SayTime("close", clock);
    clock.start();
    channel.OpenPort();
    SayTime("reopen", clock);

    Fill(channel, "old");
    clock.start();
    channel.ClosePort();
    channel.SetPort(PortNumber(other));
    channel.OpenPort();
    SayTime("port", clock);
    channel.ClosePort();
    channel.SetPort(PortNumber(port));
    clock.start();
    channel.OpenPort();
    SayTime("port-back", clock);

    Fill(channel, "old");
    clock.start();
    channel.ClosePort();
    channel.SetBaud(9600);
    channel.OpenPort();
    SayTime("baud", clock);
    // The host looks at what the line still carries; the port stays open meanwhile.
    RunEventsFor(4000);
    clock.start();
    channel.ClosePort();
    SayTime("last-close", clock);
    return 0;
}

// Says how long the work took and how it ended: the channel's error (1), or what it did (0).
int Ended(TNexComThread& channel, const QElapsedTimer& clock, const std::string& what,
          const std::string& value)
{
    SayTime("ended", clock);
    if (!channel.LastError().empty()) {
        Say("error", channel.LastError());
        return 1;
    }
    Say(what, value);
    return 0;
}

int Transfer(const ComNames& names, const std::string& port, const std::string& file)
{
    TNexComThread channel(names);
    Open(channel, port, 19200);
    QEventLoop loop;
    int completions = 0;
    channel.SetOnSendFileComplete([&](QObject*, std::int32_t percent, std::int32_t) {
        if (percent == 100 && ++completions == 2)
            loop.quit();
    });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!channel.ok() || !channel.LastError().empty())
            loop.quit();
    });
    watch.start(10);
    QElapsedTimer clock;
    clock.start();
    try {
        channel.SendFile(std::wstring(file.begin(), file.end()));
        loop.exec();
    } catch (const std::exception&) {
    }
    return Ended(channel, clock, "sent", std::to_string(completions));
}

int Drain(const ComNames& names, const std::string& port, int bytes)
{
    TNexComThread channel(names);
    channel.SetPort(PortNumber(port));
    channel.SetBaud(19200);
    channel.SetTimeout(30000);
    channel.OpenPort();
    const std::string block(static_cast<std::size_t>(bytes), 'D');
    QElapsedTimer clock;
    clock.start();
    try {
        channel.Write(block.data(), bytes, false);
        Say("written", std::to_string(bytes));
        channel.Write(nullptr, 0, true);
    } catch (const std::exception&) {
    }
    return Ended(channel, clock, "drained", std::to_string(bytes));
}

// A line of `tag`, as long as an Actual Time line.
std::string Tagged(const std::string& tag)
{
    std::string line = tag;
    line.resize(22, '.');
    return line + '\r';
}

// Writes one line and says how it ended: "sent" (waited for, on the line), "made" (handed
// over), or the channel's error.
std::string Attempt(TNexComThread& channel, const std::string& line, bool wait)
{
    try {
        channel.Write(line.data(), static_cast<int>(line.size()), wait);
        return wait ? "sent" : "made";
    } catch (const std::exception&) {
        return channel.LastError();
    }
}

// With the channel's time-outs (a line's time on the wire plus 0.1 s): the far end takes
// nothing, so a line times out; the next is tried at once. Once the file `go` exists
// (the host lets the far end read), a last line.
int TimeOut(const ComNames& names, const std::string& port, int baud, const std::string& go)
{
    TNexComThread channel(names);
    Open(channel, port, baud);
    // Lines until one times out: what the far end has not taken fills what lies between the
    // driver and it first.
    int line = 0;
    std::string outcome;
    while ((outcome = Attempt(channel, Tagged("stalled " + std::to_string(line)), true)) == "sent" && line < 200)
        ++line;
    Say("timed-out", outcome);
    Say("at", std::to_string(line));
    Say("next", Attempt(channel, Tagged("next"), false));
    struct stat status{};
    for (int look = 0; ::stat(go.c_str(), &status) != 0; ++look) {
        if (look == 3000)
            return 1;
        RunEventsFor(20);
    }
    Say("last", Attempt(channel, Tagged("last"), true));
    channel.ClosePort();
    return 0;
}

bool Listed(const ComNames& names, const std::string& port)
{
    TNexComThread channel(names);
    QStringList ports;
    channel.EnumComDevices(ports);
    return ports.contains(QString::fromStdString(port));
}

// The list the window offers, looked at every 20 ms.
int WaitForPort(const ComNames& names, const std::string& port, int seconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!Listed(names, port)) {
        if (clock.elapsed() > seconds * 1000)
            return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SayTime("listed", clock);
    return 0;
}

// Seconds of the guest's wall clock, which the far end's lines and the host's commands share.
double WallSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

speed_t Speed(int baud)
{
    switch (baud) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: throw std::invalid_argument("no such rate: " + std::to_string(baud));
    }
}

// Opened without waiting for a carrier, then raw (no echo back to the line), blocking.
UniqueFd OpenRaw(const std::string& device, int flags, int baud)
{
    UniqueFd fd(::open(device.c_str(), flags | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    const auto failed = [&device] { return std::runtime_error(device + ": " + SystemText(errno)); };
    if (!fd.valid())
        throw failed();
    termios settings{};
    if (::tcgetattr(fd.get(), &settings) != 0)
        throw failed();
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&settings, Speed(baud));
    ::cfsetospeed(&settings, Speed(baud));
    if (::tcsetattr(fd.get(), TCSANOW, &settings) != 0 || ::fcntl(fd.get(), F_SETFL, flags) != 0)
        throw failed();
    return fd;
}

// Prints "line TIME TEXT" for each line ended by a carriage return, "open TIME" whenever it
// (re)opens the device and "hangup TIME" when the device hangs up (the gadget pulled out); it
// opens it again at once, as the gadget's port outlives its connection.
// For "pty" it makes a pseudo-terminal, says "pty PATH" of its terminal end, which it holds open
// so that the master never hangs up, and reads the master. With `echo` it sends back every byte it
// takes, as a jumper between TX and RX does.
int FarEnd(const std::string& device, bool echo)
{
    // The lines go out to the share in batches: a write through 9p for every line would take
    // the guest's one processor from the program under test. Their times are taken as they come.
    constexpr double kFlushEvery = 0.2;
    double flushedAt = WallSeconds();
    UniqueFd master;
    UniqueFd terminal;
    if (device == "pty") {
        master = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
            throw std::runtime_error(std::string("pty: ") + SystemText(errno));
        const std::string path = ::ptsname(master.get());
        terminal = UniqueFd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        Say("pty", path);
    }
    for (;;) {
        const UniqueFd opened = master.valid() ? UniqueFd() : OpenRaw(device, echo ? O_RDWR : O_RDONLY, 9600);
        const UniqueFd& fd = master.valid() ? master : opened;
        Say("open", std::to_string(WallSeconds()));
        std::string partial;
        for (;;) {
            pollfd in{fd.get(), POLLIN, 0};
            if (::poll(&in, 1, static_cast<int>(kFlushEvery * 1000)) == 0) {
                std::fflush(stdout);
                flushedAt = WallSeconds();
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            const double now = WallSeconds();
            if (n <= 0) {
                Say("hangup", std::to_string(now));
                break;
            }
            for (ssize_t sent = 0; echo && sent < n;) {
                const ssize_t written = ::write(fd.get(), buffer + sent, static_cast<std::size_t>(n - sent));
                if (written > 0)
                    sent += written;
                else if (errno != EINTR && errno != EAGAIN)
                    break;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != protocol::CR) {
                    partial += buffer[i];
                    continue;
                }
                std::printf("line %s %s\n", std::to_string(now).c_str(), partial.c_str());
                partial.clear();
            }
            if (now - flushedAt >= kFlushEvery) {
                std::fflush(stdout);
                flushedAt = now;
            }
        }
        // A port hung up reads 0 until its last holder lets go; never spin on it.
        ::poll(nullptr, 0, 10);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const ComNames names = ComNames::FromEnvironment();
    const QStringList a = app.arguments();
    const auto arg = [&a](int i) { return a.value(i).toStdString(); };
    try {
        const std::string command = arg(1);
        if (command == "hold" && a.size() == 8)
            return Hold(names, arg(2), std::stoi(arg(3)), std::stoi(arg(4)), arg(5).front(),
                        std::stoi(arg(6)), std::stoi(arg(7)));
        if (command == "stall" && a.size() == 4)
            return Stall(names, arg(2), arg(3));
        if (command == "transfer" && a.size() == 4)
            return Transfer(names, arg(2), arg(3));
        if (command == "drain" && a.size() == 4)
            return Drain(names, arg(2), std::stoi(arg(3)));
        if (command == "wait-port" && a.size() == 4)
            return WaitForPort(names, arg(2), std::stoi(arg(3)));
        if (command == "time-out" && a.size() == 5)
            return TimeOut(names, arg(2), std::stoi(arg(3)), arg(4));
        if (command == "far-end" && (a.size() == 3 || (a.size() == 4 && arg(3) == "echo")))
            return FarEnd(arg(2), a.size() == 4);
    } catch (const std::exception& error) {
        Say("failed", error.what());
        return 1;
    }
    std::fprintf(stderr, "vmline_probe: unknown command or wrong arguments\n");
    return 2;
}
