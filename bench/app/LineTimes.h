#pragma once
// What the far end of a line sees of a stream of running-time lines: when each line's CR
// arrived, and how old the clock it carries was by then.

#include "os/linux/PseudoTerminal.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using BenchClock = std::chrono::steady_clock;

struct LineArrival {
    BenchClock::time_point at;
    double lagMs; // arrival minus the time of day the line carries
};

// Milliseconds since local midnight, now, to the microsecond.
double LocalMillisecondsOfDay();

// The board's end of the line: a pseudo-terminal whose master a thread of its own reads,
// noting every line that ends in CR. The same reader serves every run, so that what differs
// between runs is the sender alone; it asks for real-time scheduling where it may, so that its
// own wake-ups add as little as they can.
class FarEnd {
public:
    FarEnd() = default;
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    const std::string& SlavePath() const { return line_.SlavePath(); }
    int Slave() const { return line_.Slave(); }

    void StartReading();
    // Stops once the line has been quiet for 50 ms, and hands over what arrived.
    std::vector<LineArrival> StopReading();
    // The board stops reading for good: the line's queue is filled until the kernel refuses.
    void Stall();

private:
    PseudoTerminal line_;
    std::atomic<bool> stop_{false};
    std::vector<LineArrival> lines_;
    std::thread reader_;
};

// One column of the bench's table.
struct Figures {
    std::size_t lines = 0;
    double seconds = 0;       // from the first line to the last
    double linesPerSecond = 0;
    double expectedPerSecond = 0;
    double gapMedian = 0, gapP99 = 0, gapMax = 0; // |gap - interval|, ms
    double lagMedian = 0, lagP99 = 0;             // ms
    double cpuPerSecond = 0;                      // ms of CPU per second of run
};

Figures Summarise(const std::vector<LineArrival>& lines, double intervalMs, double cpuMs,
                  double runSeconds);
