#pragma once
// The yardstick for Actual Time: a plain thread that writes the same running-time line to a
// pseudo-terminal at absolute 13 ms deadlines, which is as regular as this machine allows.

#include "LineTimes.h"

#include <chrono>
#include <thread>

// Runs for `run` on a thread of its own, from construction; Finish() waits for the end.
// Started alongside a window run, it meets the same machine at the same moments, so that the
// two columns differ by the sender alone.
class BareLoop {
public:
    BareLoop(std::chrono::milliseconds interval, std::chrono::seconds run);
    ~BareLoop();
    BareLoop(const BareLoop&) = delete;
    BareLoop& operator=(const BareLoop&) = delete;

    Figures Finish();

private:
    std::chrono::milliseconds interval_;
    std::chrono::seconds run_;
    FarEnd board_;
    double cpuMs_ = 0;
    std::thread writer_;
};
