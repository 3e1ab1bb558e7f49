#pragma once
// What the line really did during a repeating test: the lines that went out against the ticks
// that were due, how regularly they started, and the longest a write held the sender. Times are
// in microseconds on one steady clock.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace protocol {

struct LineTimingInput {
    std::int64_t tickUs = 0;            // the test's tick; 0 when no repeating test ran
    std::int64_t firstDeadlineUs = 0;   // the test started one tick before this
    std::int64_t endUs = 0;             // when the test stopped (or now)
    std::vector<std::int64_t> startsUs; // line starts during the test, in order
    std::int64_t longestWriteUs = 0;    // over every write of the run
    std::size_t linesSent = 0;          // every line of the run, in or out of the test
    // The line and its format, to tell whether a line fits its tick at all.
    int lineCharacters = 0;
    int bitsPerSecond = 0;
    int frameBits = 0;
    std::string formatName;             // "19200 8-N-2"
};

struct LineTimingFigures {
    std::size_t linesSent = 0;
    std::size_t ticksDue = 0;
    std::size_t late = 0;    // started more than a quarter tick after their tick was due
    std::size_t dropped = 0; // ticks due that no line started in
    std::optional<double> spacingMedianMs;
    std::optional<double> spacingP99Ms;
    double longestWriteMs = 0;
    // The format's line takes longer than the tick: it cannot keep pace whatever the computer.
    std::optional<double> lineTooLongMs;
};

LineTimingFigures MeasureLineTiming(const LineTimingInput& input);
// One line for people: "Line: 40 lines sent, 40 ticks due, 0 late, 0 dropped; ...".
std::string LineTimingSummary(const LineTimingFigures& figures, const std::string& formatName);

// The value below which the given share (0 to 1) of the values lies, nearest rank; the values are
// sorted in place.
double Percentile(std::vector<double>& values, double share);

} // namespace protocol
