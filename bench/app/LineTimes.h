#pragma once
// What the far end of a line sees of a stream of running-time lines: when each line's CR
// arrived, and how old the clock it carries was by then.

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

using BenchClock = std::chrono::steady_clock;

struct LineArrival {
    BenchClock::time_point at;
    double lagMs; // arrival minus the time of day the line carries
};

// Milliseconds since local midnight, now, to the microsecond.
double LocalMillisecondsOfDay();

// Reads a pseudo-terminal's master, noting every line that ends in CR, until `stop` is set and
// the line has been quiet for 50 ms.
std::vector<LineArrival> CollectLines(int master, const std::atomic<bool>& stop);

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

// A line of text that carries the figures from a child process, and back.
std::string Encode(const Figures& figures);
bool Decode(const std::string& text, Figures& figures);
