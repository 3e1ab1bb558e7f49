#include "BareLoop.h"

#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

protocol::ClockReading ReadClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return {local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 10'000'000)};
}

void Advance(timespec& deadline, std::chrono::milliseconds step)
{
    deadline.tv_nsec += static_cast<long>(step.count()) * 1'000'000L;
    deadline.tv_sec += deadline.tv_nsec / 1'000'000'000L;
    deadline.tv_nsec %= 1'000'000'000L;
}

double ThreadCpuMilliseconds()
{
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) * 1000.0 + static_cast<double>(used.tv_nsec) / 1e6;
}

} // namespace

Figures RunBareLoop(std::chrono::milliseconds interval, std::chrono::seconds run)
{
    FarEnd board;
    board.StartReading();

    double cpuMs = 0;
    std::thread writer([&] {
        const double cpuBefore = ThreadCpuMilliseconds();
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const auto end = BenchClock::now() + run;
        while (BenchClock::now() < end) {
            Advance(deadline, interval);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            }
            const std::string line =
                protocol::WithClock(std::string(protocol::kRunningTimeBase), ReadClock(), false);
            [[maybe_unused]] const ssize_t written = ::write(board.Slave(), line.data(), line.size());
        }
        cpuMs = ThreadCpuMilliseconds() - cpuBefore;
    });
    writer.join();
    return Summarise(board.StopReading(), static_cast<double>(interval.count()), cpuMs,
                     std::chrono::duration<double>(run).count());
}
