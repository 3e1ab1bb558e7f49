#include "board/TextBoard.h"

#include "protocol/DisplayLine.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using board::BoardState;
using board::RenderText;

namespace {

const auto t0 = board::SteadyClock::time_point{} + 1000h;

void Show(BoardState& state, const std::string& line)
{
    state.ShowLine(protocol::DecodeDisplayLine(line).Address, line, t0);
}

std::string Segments(const std::vector<std::string>& lines)
{
    return lines[0] + "\n" + lines[1] + "\n" + lines[2];
}

} // namespace

TEST(TextBoard, DrawsDigitsAndSeparatorsAsReceived)
{
    BoardState state;
    Show(state, " 12C    01:02:03.456 7\r");
    const auto lines = RenderText(state, t0);
    ASSERT_EQ(lines.size(), 4u);
    // Blank, 1, 2, C; 01:02:03.456; blank, 7.
    const std::string expected =
        "         _   _     _         _   _     _   _         _   _         _  \n"
        "      |  _| |     | |   | . | |  _| . | |  _|   |_| |_  |_          | \n"
        "      | |_  |_    |_|   | . |_| |_  . |_|  _| .   |  _| |_|         | ";
    EXPECT_EQ(Segments(lines), expected);
    EXPECT_NE(lines[3].find("Brightness 9"), std::string::npos);
    EXPECT_NE(lines[3].find("No time-out"), std::string::npos);
}

TEST(TextBoard, RemovedSeparatorsAndTimeOutGoDark)
{
    BoardState state;
    Show(state, protocol::RemoveColons(protocol::RemovePoints(std::string(protocol::kBlank))));
    auto lines = RenderText(state, t0);
    EXPECT_EQ(Segments(lines).find_first_not_of(" \n"), std::string::npos);

    Show(state, std::string(protocol::kAllDigits));
    state.Apply({board::LyraCommand::Kind::Timeout, 0, 1}, t0);
    lines = RenderText(state, t0 + 10s);
    EXPECT_EQ(Segments(lines).find_first_not_of(" \n"), std::string::npos);
    EXPECT_NE(lines[3].find("Time-out 10 s"), std::string::npos);
    EXPECT_NE(lines[3].find("Dark"), std::string::npos);
}

TEST(TextBoard, PointInTheModeColumnIsDrawn)
{
    BoardState state;
    Show(state, std::string(protocol::kRunningTimeBase));
    const auto lines = RenderText(state, t0);
    // Start number blank, then the mode cell (columns 12-14 of the drawing) shows its point.
    EXPECT_EQ(lines[2].substr(12, 3), " . ");
}
