#include "BareLoop.h"

#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

BareLoop::BareLoop(std::chrono::milliseconds interval, std::chrono::seconds run)
    : interval_(interval), run_(run)
{
    board_.StartReading();
    writer_ = std::thread([this] {
        const double cpuBefore = ThreadCpuMilliseconds();
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        const auto end = BenchClock::now() + run_;
        while (BenchClock::now() < end) {
            Advance(deadline, interval_);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            }
            const std::string line =
                protocol::WithClock(std::string(protocol::kRunningTimeBase), ReadClock(), false);
            [[maybe_unused]] const ssize_t written = ::write(board_.Slave(), line.data(), line.size());
        }
        cpuMs_ = ThreadCpuMilliseconds() - cpuBefore;
    });
}

BareLoop::~BareLoop()
{
    if (writer_.joinable())
        writer_.join();
}

Figures BareLoop::Finish()
{
    writer_.join();
    return Summarise(board_.StopReading(), static_cast<double>(interval_.count()), cpuMs_,
                     std::chrono::duration<double>(run_).count());
}
