// Receive latency: a byte written to a pseudo-terminal's master until the receive handler runs
// on the user-interface thread, over 1000 samples. Idle cost: process CPU while an open port
// with the serial channel's six handlers waits for 10 s, once on a pseudo-terminal and once on
// a device whose modem lines must be sampled. Slow line: Actual Time's 13 ms tick of 23-byte
// lines, each carrying its send time, through the serial channel at 2400 baud to a scripted
// line that really carries 2400 baud behind a 4 KiB kernel queue, for 10 s, once with writes
// complete when their bytes are on the line and once when the kernel has taken them (the same
// device answering TIOCOUTQ with ENOTTY: the old rule).
//
// serial_driver_bench [--slow-line]: all of it, or the slow line only.
#include "os/linux/PseudoTerminal.h"
#include "serial/ComPort.h"
#include "serial/NexCom.h"
#include "serial/linux/LinuxSystem.h"

#include "support/ScriptedSystem.h"
#include "support/Waiting.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Looks like a UART with modem lines that never change, so the event thread must sample them.
class ModemLinesSystem : public LinuxSystem {
public:
    using LinuxSystem::LinuxSystem;
    int Ioctl(int fd, unsigned long request, void* argument) override
    {
        if (request == TIOCMGET) {
            *static_cast<int*>(argument) = TIOCM_CTS | TIOCM_DSR;
            return 0;
        }
        return LinuxSystem::Ioctl(fd, request, argument);
    }
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Latency(const ComNames& names, TThreadPriority priority, const char* label)
{
    PseudoTerminal pty;
    TComPort port(names);
    port.SetDeviceName(pty.SlavePath());
    port.SetThreadPriority(priority);
    QEventLoop loop;
    Clock::time_point arrived;
    port.SetOnRxChar([&](QObject*) {
        arrived = Clock::now();
        port.ReadString();
        loop.quit();
    });
    port.Open();
    RunEventLoop(20ms);

    constexpr int kSamples = 1000;
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < kSamples; ++i) {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(1000);
        arrived = {};
        const auto sent = Clock::now();
        [[maybe_unused]] const ssize_t written = write(pty.Master(), "x", 1);
        loop.exec();
        if (arrived == Clock::time_point{})
            ++lost;
        else
            micros.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
    }
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
    std::printf("receive latency, %s, %zu samples (%d lost): median %.1f us, 99th percentile "
                "%.1f us, max %.1f us, mean %.1f us\n",
                label, micros.size(), lost, at(0.5), at(0.99), micros.back(),
                std::accumulate(micros.begin(), micros.end(), 0.0) / micros.size());
}

void Idle(const char* label, std::shared_ptr<LinuxSystem> system)
{
    PseudoTerminal pty;
    TComPort port(nullptr, std::move(system));
    port.SetDeviceName(pty.SlavePath());
    auto nothing = [](QObject*) {};
    port.SetOnRxChar(nothing);
    port.SetOnCTSChange(nothing);
    port.SetOnDSRChange(nothing);
    port.SetOnRing(nothing);
    port.SetOnRLSDChange(nothing);
    port.SetOnTxEmpty(nothing);
    port.Open();
    RunEventLoop(100ms);
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = Clock::now();
    RunEventLoop(10s);
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    std::printf("idle, six handlers, mask 0x%04X, %s: %.3f s CPU in %.1f s = %.3f%% of a core\n",
                port.EventMask(), label, cpu, wall, 100.0 * cpu / wall);
}

std::string Drain(int fd)
{
    std::string bytes;
    char buffer[4096];
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

void SlowLine(const ComNames& names, bool onTheLine)
{
    PseudoTerminal pty;
    auto system = std::make_shared<ScriptedSystem>(names);
    system->DrainAt(2400);
    if (!onTheLine)
        system->FailIoctl(TIOCOUTQ, ENOTTY);
    TNexComThread channel(names);
    channel.SetSystem(system);
    channel.SetDeviceName(pty.SlavePath());
    channel.SetBaud(2400);
    channel.OpenPort();

    const auto start = Clock::now();
    auto sinceStart = [&](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(t - start).count();
    };
    int ticks = 0;
    int timeouts = 0;
    double longestTickMs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(13);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto sent = Clock::now();
        char line[24];
        std::snprintf(line, sizeof line, "%-22lld\r",
                      static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 sent - start)
                                                 .count()));
        ++ticks;
        try {
            channel.SendText(line);
        } catch (const EAbort&) {
            timeouts += channel.LastError() == "Timeout";
        }
        longestTickMs = std::max(longestTickMs, sinceStart(Clock::now()) - sinceStart(sent));
    });
    tick.start();
    RunEventLoop(10s);
    tick.stop();
    const int queued = system->QueuedNow();

    // Every line the far end got, with the moment its last byte left the line.
    const std::string stream = Drain(pty.Master());
    int whole = 0;
    int cut = 0;
    double lastLag = 0;
    double longestLag = 0;
    std::size_t begin = 0;
    for (std::size_t end = stream.find('\r'); end != std::string::npos;
         begin = end + 1, end = stream.find('\r', begin)) {
        if (end - begin != 22) {
            ++cut;
            continue;
        }
        const double carried = std::atof(stream.substr(begin, 22).c_str()) / 1000.0;
        const auto left = system->LeftTheLine(end + 1);
        if (!left)
            continue;
        ++whole;
        lastLag = sinceStart(*left) - carried;
        longestLag = std::max(longestLag, lastLag);
    }
    std::printf("  %-24s %6d %6d %9d %5d %12d %12.0f %12.0f %12.0f\n",
                onTheLine ? "on the line (new)" : "taken by the kernel (old)", ticks, whole,
                timeouts, cut, queued, lastLag, longestLag, longestTickMs);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const ComNames names = ComNames::FromEnvironment();
    const bool slowLineOnly = argc > 1 && std::strcmp(argv[1], "--slow-line") == 0;
    if (!slowLineOnly) {
        // Real-time scheduling needs the rights for it; without them the thread runs at the
        // default.
        Latency(names, tpTimeCritical, "event thread time-critical");
        Latency(names, tpNormal, "event thread normal priority");
        Idle("pseudo-terminal (no modem lines)", std::make_shared<LinuxSystem>(names));
        Idle("modem lines sampled every 10 ms", std::make_shared<ModemLinesSystem>(names));
    }
    std::printf("slow line: 13 ms tick of 23-byte lines carrying their send time, channel at 2400 "
                "baud, line carrying 2400 baud behind a 4096-byte queue, 10 s; lag = when the "
                "line's last byte left minus the time it carries, in ms\n");
    std::printf("  %-24s %6s %6s %9s %5s %12s %12s %12s %12s\n", "write completes when", "ticks",
                "lines", "Timeouts", "cut", "queued bytes", "lag of last", "longest lag",
                "longest tick");
    SlowLine(names, false);
    SlowLine(names, true);
    return 0;
}
