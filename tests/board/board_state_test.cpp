#include "board/BoardState.h"

#include "protocol/DisplayLine.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using board::BoardState;
using board::LyraCommand;
using Kind = LyraCommand::Kind;

namespace {

const auto t0 = board::SteadyClock::time_point{} + 1000h;

// What a decoder hands over: the line and the address it recognised.
bool Show(BoardState& state, const std::string& line, board::SteadyClock::time_point at = t0)
{
    return state.ShowLine(protocol::DecodeDisplayLine(line).Address, line, at);
}

} // namespace

TEST(BoardState, ShowsTheColumnsAsTheyArrived)
{
    BoardState state;
    EXPECT_FALSE(state.HasLine());
    EXPECT_EQ(state.Shown().Range(1, 22), std::string(22, ' '));

    // The decoder would count the 8s in the tens columns as nothing; the board lights them.
    ASSERT_TRUE(Show(state, std::string(protocol::kAllDigits)));
    EXPECT_EQ(state.Shown().Range(9, 20), "88:88:88.888");

    // Removed separators stay dark, a rotated line is shown as it came.
    Show(state, protocol::RemovePoints(protocol::RemoveColons(std::string(protocol::kAllDigitsLyra))));
    EXPECT_EQ(state.Shown().Range(9, 20), "88 88 88 888");
    Show(state, protocol::RotateRight(" 12C    01:02:03.456 7\r", false));
    EXPECT_EQ(state.Shown().Range(1, 22), " 12     45:01:02.036 7");

    // A short line leaves no place behind from the previous one.
    Show(state, std::string(protocol::kContinuousStep2));
    EXPECT_EQ(state.Shown().Range(1, 22), "abc      1 34:56.782  ");
}

TEST(BoardState, AddressedLinesLoseTheirLetterAndOthersAreIgnored)
{
    const std::string line = " 12C    01:02:03.456 7\r";
    BoardState mine('B');
    EXPECT_TRUE(Show(mine, "B" + line));
    EXPECT_EQ(mine.Shown().Range(1, 22), " 12C    01:02:03.456 7");

    EXPECT_FALSE(Show(mine, "C" + std::string(protocol::kAllDigits)));
    EXPECT_EQ(mine.Shown().Range(1, 4), " 12C") << "a line for C must not change B's board";

    EXPECT_TRUE(Show(mine, std::string(protocol::kBlank))) << "unaddressed lines reach every board";

    BoardState any;
    EXPECT_TRUE(Show(any, "C" + line));
    EXPECT_EQ(any.Shown().Range(1, 22), " 12C    01:02:03.456 7");
}

TEST(BoardState, TimeOutDarkensTheBoardAfterTheLastLine)
{
    BoardState state;
    state.Apply({Kind::Timeout, 0, 3}, t0); // 30 s
    EXPECT_FALSE(state.Blanked(t0 + 1h)) << "nothing shown yet, nothing to darken";

    Show(state, std::string(protocol::kAllDigits), t0);
    EXPECT_FALSE(state.Blanked(t0 + 29999ms));
    EXPECT_TRUE(state.Blanked(t0 + 30s));

    Show(state, std::string(protocol::kAllDigits), t0 + 40s);
    EXPECT_FALSE(state.Blanked(t0 + 41s)) << "a new line lights it again";

    state.Apply({Kind::Timeout, 0, 0}, t0 + 41s);
    EXPECT_FALSE(state.Blanked(t0 + 100h)) << "position 0 means no time-out";
}

TEST(BoardState, BrightnessFollowsTheCommand)
{
    BoardState state;
    EXPECT_EQ(state.Brightness(), BoardState::kFullBrightness);
    state.Apply({Kind::Brightness, 0, 0}, t0);
    EXPECT_EQ(state.Brightness(), 0);
    state.Apply({Kind::Brightness, 0, 7}, t0);
    EXPECT_EQ(state.Brightness(), 7);
}

TEST(BoardState, ClockShowsRegistersAsTheyArriveThenRuns)
{
    BoardState state;
    EXPECT_FALSE(state.ClockText(t0));

    state.Apply({Kind::ClockRegister, 0, 3}, t0);
    EXPECT_EQ(state.ClockText(t0), "--- --.--.-- --:--:03");

    // 7 December 2026 (a Monday), 23:59:58.
    const int values[7] = {58, 59, 23, 1, 7, 12, 26};
    for (int reg = 0; reg < 7; ++reg)
        state.Apply({Kind::ClockRegister, reg, values[reg]}, t0);
    EXPECT_EQ(state.ClockText(t0), "Mon 07.12.26 23:59:58");
    EXPECT_EQ(state.ClockText(t0 + 1500ms), "Mon 07.12.26 23:59:59");
    EXPECT_EQ(state.ClockText(t0 + 3s), "Tue 08.12.26 00:00:01") << "runs over midnight";

    // An impossible date is shown as received and does not run.
    state.Apply({Kind::ClockRegister, 4, 31}, t0);
    state.Apply({Kind::ClockRegister, 5, 2}, t0);
    EXPECT_EQ(state.ClockText(t0 + 10s), "Mon 31.02.26 23:59:58");
    state.Apply({Kind::ClockRegister, 3, 9}, t0);
    EXPECT_EQ(state.ClockText(t0), "??? 31.02.26 23:59:58");
}
