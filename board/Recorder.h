#pragma once
// The board's recorder: every line and command the board takes is appended to a text file, one
// entry per line with its arrival time, its route and its exact bytes (protocol/Recording.h),
// so that what a timing console sent can be read, edited and sent again with marqtest --replay.

#include "BoardEvent.h"

#include <chrono>
#include <fstream>
#include <string>

namespace board {

class Recorder {
public:
    // Appends to `path`, creating it; throws Exception with the system's reason when it cannot.
    explicit Recorder(const std::string& path);

    void Record(Route route, const std::string& bytes);

private:
    std::ofstream file_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace board
