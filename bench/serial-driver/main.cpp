// Receive latency: a byte written to a pseudo-terminal's master until the receive handler runs
// on the user-interface thread, over 1000 samples. Idle cost: process CPU while an open port
// with the serial channel's six handlers waits for 10 s, once on a pseudo-terminal and once on
// a device whose modem lines must be sampled.
#include "serial/ComPort.h"
#include "serial/SerialSystem.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <numeric>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Looks like a UART with modem lines that never change, so the event thread must sample them.
class ModemLinesSystem : public SerialSystem {
public:
    int Ioctl(int fd, unsigned long request, void* argument) override
    {
        if (request == TIOCMGET) {
            *static_cast<int*>(argument) = TIOCM_CTS | TIOCM_DSR;
            return 0;
        }
        return SerialSystem::Ioctl(fd, request, argument);
    }
};

struct Pty {
    Pty()
    {
        char name[256] = {};
        openpty(&master, &slave, name, nullptr, nullptr);
        path = name;
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void RunFor(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

void Latency(TThreadPriority priority, const char* label)
{
    Pty pty;
    TComPort port(nullptr);
    port.SetDeviceName(pty.path);
    port.SetThreadPriority(priority);
    QEventLoop loop;
    Clock::time_point arrived;
    port.SetOnRxChar([&](QObject*) {
        arrived = Clock::now();
        port.ReadString();
        loop.quit();
    });
    port.Open();
    RunFor(20ms);

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
        [[maybe_unused]] const ssize_t written = write(pty.master, "x", 1);
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

void Idle(const char* label, std::shared_ptr<SerialSystem> system)
{
    Pty pty;
    TComPort port(nullptr, std::move(system));
    port.SetDeviceName(pty.path);
    auto nothing = [](QObject*) {};
    port.SetOnRxChar(nothing);
    port.SetOnCTSChange(nothing);
    port.SetOnDSRChange(nothing);
    port.SetOnRing(nothing);
    port.SetOnRLSDChange(nothing);
    port.SetOnTxEmpty(nothing);
    port.Open();
    RunFor(100ms);
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = Clock::now();
    RunFor(10s);
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    std::printf("idle, six handlers, mask 0x%04X, %s: %.3f s CPU in %.1f s = %.3f%% of a core\n",
                port.EventMask(), label, cpu, wall, 100.0 * cpu / wall);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Real-time scheduling needs the rights for it; without them the thread runs at the default.
    Latency(tpTimeCritical, "event thread time-critical");
    Latency(tpNormal, "event thread normal priority");
    Idle("pseudo-terminal (no modem lines)", std::make_shared<SerialSystem>());
    Idle("modem lines sampled every 10 ms", std::make_shared<ModemLinesSystem>());
    return 0;
}
