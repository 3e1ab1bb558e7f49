// The line check's texts without a line: recordings written and read back, and what the line's
// timing figures make of a run.
#include "protocol/LineTiming.h"
#include "protocol/Recording.h"

#include <gtest/gtest.h>

namespace {

using protocol::ParseRecording;
using protocol::RecordedText;
using protocol::RecordingError;

TEST(RecordingTest, EveryByteComesBackAsWrittenAndBadLinesAreNamed)
{
    std::string everyByte;
    for (int value = 0; value < 256; ++value)
        everyByte += static_cast<char>(value);
    const std::vector<RecordedText> written = {
        {0.0, false, "        88:88:88.888  \r"},
        {0.025, true, everyByte},
        {1.5, false, "ends in a blank \""},
    };
    std::string file = "# a remark\n\n";
    for (const RecordedText& entry : written)
        file += protocol::RecordingLine(entry) + "\n";
    EXPECT_EQ(protocol::RecordingLine(written[0]), R"(0.000000 serial "        88:88:88.888  \r")");
    const auto read = ParseRecording(file);
    ASSERT_TRUE(std::holds_alternative<std::vector<RecordedText>>(read));
    EXPECT_EQ(std::get<std::vector<RecordedText>>(read), written);

    const auto refused = [](std::string_view text) {
        const auto result = ParseRecording(text);
        return std::holds_alternative<RecordingError>(result) ? std::get<RecordingError>(result).lineNumber : 0;
    };
    EXPECT_EQ(refused("0.1 serial \"a\"\n# fine\nsoon serial \"b\"\n"), 3);
    EXPECT_EQ(refused("0.1 serial \"a\"\n0.2 radio \"b\"\n"), 2);
    EXPECT_EQ(refused("0.1 serial a\n"), 1);
    EXPECT_EQ(refused("0.1 serial \"a\\q\"\n"), 1);
    EXPECT_EQ(refused("0.1 serial \"a\\x4\"\n"), 1);
    EXPECT_EQ(refused("0.1 serial \"a\\\"\n"), 1);
    EXPECT_EQ(refused("0.1 serial \"\"\n"), 1);
    EXPECT_EQ(refused("-1 udp \"a\"\n"), 1);
    EXPECT_EQ(refused("0.1 udp \"tab\there\"\n"), 1) << "a control character must be escaped";
    EXPECT_EQ(refused("0.1 udp\n"), 1);
}

TEST(LineTimingTest, LateDroppedAndTooLongLines)
{
    protocol::LineTimingInput run;
    run.tickUs = 25000;
    run.firstDeadlineUs = 1'000'000;
    run.endUs = run.firstDeadlineUs + 9 * run.tickUs + 100; // ten ticks due
    // On time, on time, late by 8 ms, then one tick with no line, then on time to the end.
    for (const int tick : {0, 1, 2, 4, 5, 6, 7, 8, 9})
        run.startsUs.push_back(run.firstDeadlineUs + tick * run.tickUs + (tick == 2 ? 8000 : 200));
    run.linesSent = run.startsUs.size();
    run.longestWriteUs = 1500;
    run.lineCharacters = 23;
    run.bitsPerSecond = 9600;
    run.frameBits = 10;
    const protocol::LineTimingFigures figures = protocol::MeasureLineTiming(run);
    EXPECT_EQ(figures.ticksDue, 10u);
    EXPECT_EQ(figures.late, 1u);
    EXPECT_EQ(figures.dropped, 1u);
    EXPECT_DOUBLE_EQ(*figures.spacingMedianMs, 25.0);
    EXPECT_DOUBLE_EQ(*figures.spacingP99Ms, 42.2);
    EXPECT_FALSE(figures.lineTooLongMs) << "23 characters of 10 bits take 24 ms of a 25 ms tick";
    EXPECT_EQ(protocol::LineTimingSummary(figures, "9600 8-N-1"),
              "Line: 9 lines sent, 10 ticks due, 1 late, 1 dropped; line starts 25.0 ms apart (median), "
              "42.2 ms (99th percentile); longest write 1.5 ms");

    // 11 bits a character at 19200: 13.2 ms for a line, longer than the 13 ms tick.
    run.tickUs = 13000;
    run.bitsPerSecond = 19200;
    run.frameBits = 11;
    const protocol::LineTimingFigures tooLong = protocol::MeasureLineTiming(run);
    ASSERT_TRUE(tooLong.lineTooLongMs);
    EXPECT_NE(protocol::LineTimingSummary(tooLong, "19200 8-N-2").find("19200 8-N-2 cannot fit a line in its tick"),
              std::string::npos);
}

} // namespace
