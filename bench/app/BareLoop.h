#pragma once
// The yardstick for Actual Time: a plain thread that writes the same running-time line to a
// pseudo-terminal at absolute 13 ms deadlines, which is as regular as this machine allows.

#include "LineTimes.h"

#include <chrono>

Figures RunBareLoop(std::chrono::milliseconds interval, std::chrono::seconds run);
