// Prints the serial channel's receive throughput through all four decoders and the capture file,
// the time from the carriage return of a display line written to the far end of a
// pseudo-terminal to OnMarqReceived running, and the rate of a file transfer to that far end.

#include "MemoryDevice.h"
#include "os/linux/PseudoTerminal.h"
#include "serial/NexCom.h"

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Reads from the far end of a pseudo-terminal until `count` bytes have come or none came for
// `idle`.
std::size_t Take(const PseudoTerminal& pty, std::size_t count, std::chrono::milliseconds idle)
{
    std::size_t taken = 0;
    char buffer[4096];
    pollfd ready{pty.Master(), POLLIN, 0};
    while (taken < count && poll(&ready, 1, static_cast<int>(idle.count())) > 0) {
        const ssize_t n = read(pty.Master(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        taken += static_cast<std::size_t>(n);
    }
    return taken;
}

// Display lines, backup lines, short strings and noise, as a busy timing line might carry.
std::string Traffic(std::size_t size)
{
    std::mt19937 random(42);
    const std::string lines[] = {
        " 12C    01:02:03.456 7\r", "A 42     12:34:56.789 1\r", "   .      :  :  .0    \r",
        " 0042  1M 12:34:56.7891     \r", "OK\r",
    };
    std::string data;
    while (data.size() < size) {
        if (random() % 5 == 0) {
            for (int n = static_cast<int>(random() % 16); n > 0; --n)
                data += static_cast<char>(random());
        } else {
            data += lines[random() % std::size(lines)];
        }
    }
    data.resize(size);
    return data;
}

struct Counts {
    std::size_t strings = 0, marqs = 0, chrons = 0, packetBytes = 0;
};

void Subscribe(TNexComThread& channel, Counts& counts)
{
    channel.SetOnStringReceived([&](QObject*, std::string&) { ++counts.strings; });
    channel.SetOnMarqReceived([&](QObject*, char, std::int32_t, char, std::int32_t, std::int32_t, const char*) {
        ++counts.marqs;
    });
    channel.SetOnChronBackupReceived([&](QObject*, char, std::int32_t, std::int32_t, char, std::int32_t, const char*) {
        ++counts.chrons;
    });
    channel.SetOnPacketReceived([&](QObject*, std::string& p) { counts.packetBytes += p.size(); });
    channel.SetPacketSize(64);
}

std::string CapturePath()
{
    return (std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp")) +
           "/bench-serial-channel-" + std::to_string(getpid());
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string Noise(std::size_t size)
{
    std::mt19937 random(7);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(random());
    return data;
}

// Receive passes over bytes served from memory: the channel's own cost per byte. Returns the
// seconds the passes took.
double TimePasses(const ComNames& names, const std::string& data, std::size_t chunk, Counts& counts)
{
    PseudoTerminal pty;
    auto device = std::make_shared<MemoryDevice>(names, data, chunk);
    TNexComThread channel(names);
    Subscribe(channel, counts);
    channel.TComPort::SetOnRxChar(nullptr); // the passes below are the only readers
    channel.SetSystem(device);
    channel.SetDeviceName(pty.SlavePath());
    const std::string capture = CapturePath();
    channel.SetDebugFile(capture);
    channel.OpenPort();

    const auto start = Clock::now();
    while (!device->Drained())
        channel.NexComPortRxChar(&channel);
    const double seconds = Seconds(Clock::now() - start);
    channel.SetDebugFile("");
    std::remove(capture.c_str());
    return seconds;
}

// The best of three runs, since other work on the machine only ever slows a run down.
void PassThroughput(const ComNames& names, const char* what, const std::string& data, std::size_t chunk)
{
    double best = 0;
    Counts counts;
    for (int run = 0; run < 3; ++run) {
        counts = {};
        const double seconds = TimePasses(names, data, chunk, counts);
        best = run == 0 ? seconds : std::min(best, seconds);
    }
    std::printf("receive passes, %s, %zu-byte chunks, 4 decoders + capture: %.1f MB/s "
                "(%zu MiB in %.3f s, best of 3; %zu strings, %zu display lines, %zu backup lines)\n",
                what, chunk, data.size() / best / 1e6, data.size() >> 20, best, counts.strings,
                counts.marqs, counts.chrons);
}

// The same through a pseudo-terminal and the driver's event thread, end to end.
void PtyThroughput(const ComNames& names)
{
    constexpr std::size_t kSize = std::size_t{4} << 20;
    const std::string data = Traffic(kSize);
    PseudoTerminal pty;
    TNexComThread channel(names);
    Counts counts;
    Subscribe(channel, counts);
    const std::string capture = CapturePath();
    channel.SetDebugFile(capture);
    channel.SetDeviceName(pty.SlavePath());
    channel.OpenPort();

    const auto start = Clock::now();
    std::thread writer([&] { pty.Send(data); });
    const auto deadline = start + std::chrono::seconds(120);
    while (counts.packetBytes < kSize && Clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double seconds = Seconds(Clock::now() - start);
    writer.join();
    channel.SetDebugFile("");
    std::remove(capture.c_str());
    std::printf("through a pseudo-terminal and the event thread: %.2f MB/s (%zu of %zu bytes in %.3f s)\n",
                counts.packetBytes / seconds / 1e6, counts.packetBytes, kSize, seconds);
}

// From writing a display line's carriage return to the far end until OnMarqReceived runs.
void MarqLatency(const ComNames& names)
{
    constexpr int kLines = 1000;
    const std::string line = " 12C    01:02:03.456 7\r";
    PseudoTerminal pty;
    TNexComThread channel(names);
    channel.SetDeviceName(pty.SlavePath());
    channel.OpenPort();

    std::vector<double> latencies;
    Clock::time_point sent;
    auto sendNext = [&] {
        pty.Send(line.substr(0, line.size() - 1));
        sent = Clock::now();
        pty.Send("\r");
    };
    channel.SetOnMarqReceived([&](QObject*, char, std::int32_t, char, std::int32_t, std::int32_t, const char*) {
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (latencies.size() < kLines)
            QTimer::singleShot(1, sendNext);
    });
    QTimer::singleShot(0, sendNext);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (latencies.size() < kLines && Clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);

    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        std::printf("display line latency: no line arrived\n");
        return;
    }
    auto at = [&](double q) { return latencies[static_cast<std::size_t>(q * (latencies.size() - 1))]; };
    std::printf("display line latency, CR at the far end to OnMarqReceived, %zu lines: "
                "median %.3f ms, 99th percentile %.3f ms, max %.3f ms\n",
                latencies.size(), at(0.5), at(0.99), latencies.back());
}

// A file sent through a pseudo-terminal to a far end that reads as fast as it can: one driver
// write per byte, a chunk per transmit-empty event.
void TransferThroughput(const ComNames& names)
{
    constexpr std::size_t kSize = std::size_t{1} << 20;
    const std::string path = CapturePath() + "-transfer";
    std::ofstream(path, std::ios::binary) << Noise(kSize);
    PseudoTerminal pty;
    TNexComThread channel(names);
    channel.SetTimeout(30000); // a far end that falls behind for a moment is not a failure here
    channel.SetDeviceName(pty.SlavePath());
    channel.OpenPort();

    std::size_t arrived = 0;
    std::thread reader([&] { arrived = Take(pty, kSize, std::chrono::seconds(5)); });
    const auto start = Clock::now();
    channel.SendFile(std::filesystem::path(path).wstring());
    const auto deadline = start + std::chrono::seconds(120);
    while (channel.SendFileInProgress() && Clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    const double seconds = Seconds(Clock::now() - start);
    reader.join();
    std::remove(path.c_str());
    std::printf("file transfer through a pseudo-terminal, one write per byte: %.0f kB/s "
                "(%zu of %zu bytes in %.3f s)\n",
                arrived / seconds / 1e3, arrived, kSize, seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const ComNames names = ComNames::FromEnvironment();
    constexpr std::size_t kSize = std::size_t{64} << 20;
    const std::string traffic = Traffic(kSize);
    const std::string noise = Noise(kSize);
    PassThroughput(names, "line traffic", traffic, 4096);
    PassThroughput(names, "line traffic", traffic, 65536);
    PassThroughput(names, "random bytes", noise, 4096);
    PtyThroughput(names);
    MarqLatency(names);
    TransferThroughput(names);
    return 0;
}
