#include "LineTimes.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace {

constexpr double kDayMs = 24.0 * 3600 * 1000;

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

int Digit(char c) { return c >= '0' && c <= '9' ? c - '0' : 0; }

// The time of day in columns 9-19 of an unaddressed running-time line (CR excluded).
double CarriedMilliseconds(std::string_view line)
{
    auto two = [&](std::size_t at) { return Digit(line[at]) * 10 + Digit(line[at + 1]); };
    return two(8) * 3600000.0 + two(11) * 60000.0 + two(14) * 1000.0 + Digit(line[17]) * 100.0 +
           Digit(line[18]) * 10.0;
}

} // namespace

double LocalMillisecondsOfDay()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec) * 1000.0 +
           static_cast<double>(now.tv_nsec) / 1e6;
}

namespace {

// Reads the master until `stop` is set and nothing more is on its way.
std::vector<LineArrival> CollectLines(int master, const std::atomic<bool>& stop)
{
    sched_param realTime{};
    realTime.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime); // where allowed
    std::vector<LineArrival> lines;
    std::string pending;
    char buffer[4096];
    for (;;) {
        pollfd entry{master, POLLIN, 0};
        if (::poll(&entry, 1, 50) <= 0) {
            if (stop)
                break;
            continue;
        }
        const ssize_t size = ::read(master, buffer, sizeof buffer);
        const auto at = BenchClock::now();
        const double arrived = LocalMillisecondsOfDay();
        for (ssize_t i = 0; i < size; ++i) {
            if (buffer[i] != '\r') {
                pending += buffer[i];
                continue;
            }
            if (pending.size() >= 22) {
                const auto line = std::string_view(pending).substr(pending.size() - 22);
                double lag = arrived - CarriedMilliseconds(line);
                if (lag < -kDayMs / 2)
                    lag += kDayMs; // across midnight
                lines.push_back({at, lag});
            }
            pending.clear();
        }
    }
    return lines;
}

} // namespace

FarEnd::~FarEnd()
{
    if (reader_.joinable())
        StopReading();
}

void FarEnd::StartReading()
{
    stop_ = false;
    reader_ = std::thread([this] { lines_ = CollectLines(line_.Master(), stop_); });
}

std::vector<LineArrival> FarEnd::StopReading()
{
    stop_ = true;
    reader_.join();
    return std::move(lines_);
}

void FarEnd::Stall()
{
    const int slave = line_.Slave();
    ::fcntl(slave, F_SETFL, ::fcntl(slave, F_GETFL) | O_NONBLOCK);
    // The kernel moves what waits for the master on in the background and then takes more, so
    // the line is full only once a round a little later takes nothing.
    const std::string block(4096, 'x');
    for (bool took = true; took;) {
        took = false;
        while (::write(slave, block.data(), block.size()) > 0 || ::write(slave, block.data(), 1) > 0)
            took = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

Figures Summarise(const std::vector<LineArrival>& lines, double intervalMs, double cpuMs,
                  double runSeconds)
{
    Figures f;
    f.lines = lines.size();
    f.expectedPerSecond = 1000.0 / intervalMs;
    f.cpuPerSecond = runSeconds > 0 ? cpuMs / runSeconds : 0;
    std::vector<double> gaps, lags;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lags.push_back(lines[i].lagMs);
        if (i > 0) {
            const double gap =
                std::chrono::duration<double, std::milli>(lines[i].at - lines[i - 1].at).count();
            gaps.push_back(std::abs(gap - intervalMs));
        }
    }
    if (lines.size() > 1) {
        f.seconds = std::chrono::duration<double>(lines.back().at - lines.front().at).count();
        f.linesPerSecond = static_cast<double>(lines.size() - 1) / f.seconds;
    }
    f.gapMedian = Percentile(gaps, 0.5);
    f.gapP99 = Percentile(gaps, 0.99);
    f.gapMax = Percentile(gaps, 1.0);
    f.lagMedian = Percentile(lags, 0.5);
    f.lagP99 = Percentile(lags, 0.99);
    return f;
}
