// vmline_probe: the serial channel's side of the virtual-machine rig, run inside the guest.
// Each command drives the channel the way the window does and prints what it measured, one
// "name value" pair a line, so that the host can read it while the command still runs.
//
//   hold PORT BAUD BITS PARITY STOP SECONDS   open with these settings and send for a while
//   stall PORT OTHER                          close, reopen, change port and rate with lines
//                                             queued (the far end reads nothing)
//   transfer PORT FILE                        send a file, report how it ended
//   drain PORT BYTES                          write and wait until the bytes are on the line
//   wait-port PORT SECONDS                    wait until PORT is in the list of ports

#include "serial/NexCom.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <exception>
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

int Hold(const std::string& port, int baud, int bits, char parity, int stop, int seconds)
{
    TNexComThread channel;
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

int Stall(const std::string& port, const std::string& other)
{
    TNexComThread channel;
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

int Transfer(const std::string& port, const std::string& file)
{
    TNexComThread channel;
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

int Drain(const std::string& port, int bytes)
{
    TNexComThread channel;
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

bool Listed(const std::string& port)
{
    TNexComThread channel;
    QStringList ports;
    channel.EnumComDevices(ports);
    return ports.contains(QString::fromStdString(port));
}

// The list the window offers, looked at every 20 ms.
int WaitForPort(const std::string& port, int seconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!Listed(port)) {
        if (clock.elapsed() > seconds * 1000)
            return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    SayTime("listed", clock);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    const auto arg = [&a](int i) { return a.value(i).toStdString(); };
    try {
        const std::string command = arg(1);
        if (command == "hold" && a.size() == 8)
            return Hold(arg(2), std::stoi(arg(3)), std::stoi(arg(4)), arg(5).front(), std::stoi(arg(6)),
                        std::stoi(arg(7)));
        if (command == "stall" && a.size() == 4)
            return Stall(arg(2), arg(3));
        if (command == "transfer" && a.size() == 4)
            return Transfer(arg(2), arg(3));
        if (command == "drain" && a.size() == 4)
            return Drain(arg(2), std::stoi(arg(3)));
        if (command == "wait-port" && a.size() == 4)
            return WaitForPort(arg(2), std::stoi(arg(3)));
    } catch (const std::exception& error) {
        Say("failed", error.what());
        return 1;
    }
    std::fprintf(stderr, "vmline_probe: unknown command or wrong arguments\n");
    return 2;
}
