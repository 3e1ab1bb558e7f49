#include "protocol/LyraCommands.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

using namespace protocol;
using Kind = LyraCommand::Kind;

namespace {
const std::string esc(1, '\x1b');
}

TEST(LyraCommands, BrightnessBytes)
{
    EXPECT_EQ(BrightnessCommand(0), std::string("K    0\r"));
    EXPECT_EQ(BrightnessCommand(9), std::string("K    9\r"));
    EXPECT_EQ(BrightnessCommand(5).size(), 7u);
}

TEST(LyraCommands, TimeoutBytesAndText)
{
    EXPECT_EQ(TimeoutCommand(0), esc + "W01800\r");
    EXPECT_EQ(TimeoutCommand(7), esc + "W01807\r");
    EXPECT_EQ(TimeoutCommand(10), esc + "W01810\r");
    EXPECT_EQ(TimeoutCommand(99), esc + "W01899\r");
    EXPECT_EQ(TimeoutCommand(42).size(), 8u);
    EXPECT_EQ(TimeoutText(0), "No Timeout");
    EXPECT_EQ(TimeoutText(42), "420 s");
    EXPECT_EQ(TimeoutText(99), "990 s");
    EXPECT_EQ(TimeoutText(10), "100 s");
}

TEST(LyraCommands, ClockRegistersInOrderWithLeadingZeros)
{
    const auto commands = ClockRegisterCommands({2026, 12, 7, 9, 5, 3});
    const std::string expected[7] = {"W00003", "W00105", "W00209", "W00301",
                                     "W00407", "W00512", "W00626"};
    for (int r = 0; r < 7; ++r)
        EXPECT_EQ(commands[r], esc + expected[r] + "\r") << "register " << r;
}

TEST(LyraCommands, ClockRegistersOnNewYear2000)
{
    const auto commands = ClockRegisterCommands({2000, 1, 1, 0, 0, 0});
    EXPECT_EQ(commands[3], esc + "W00306\r"); // Saturday
    EXPECT_EQ(commands[6], esc + "W00600\r");
}

TEST(PadNumber, PadsCutsAndSigns)
{
    EXPECT_EQ(PadNumber(3, 2, '0'), "03");
    EXPECT_EQ(PadNumber(0, 2, '0'), "00");
    EXPECT_EQ(PadNumber(59, 2, '0'), "59");
    EXPECT_EQ(PadNumber(2026, 2, '0'), "26");
    EXPECT_EQ(PadNumber(-5, 2, '0'), "-5");
    EXPECT_EQ(PadNumber(-123, 2, '0'), "-3");
    EXPECT_EQ(PadNumber(INT_MIN, 2, '0'), "-8");
    EXPECT_EQ(PadNumber(7, 4, ' '), "   7");
}

TEST(WeekDay, KnownDatesAcrossCenturies)
{
    EXPECT_EQ(WeekDay(1, 1, 2000), 6);   // Saturday
    EXPECT_EQ(WeekDay(7, 12, 2026), 1);  // Monday
    EXPECT_EQ(WeekDay(29, 2, 2024), 4);  // Thursday
    EXPECT_EQ(WeekDay(1, 3, 2024), 5);   // Friday
    EXPECT_EQ(WeekDay(1, 1, 1900), 1);   // Monday; 1900 is no leap year
    EXPECT_EQ(WeekDay(31, 12, 1999), 5); // Friday
    EXPECT_EQ(WeekDay(29, 2, 2000), 2);  // Tuesday; 2000 is a leap year
    EXPECT_EQ(WeekDay(1, 1, 2100), 5);   // Friday
    EXPECT_EQ(WeekDay(14, 7, 1789), 2);  // Tuesday
}

TEST(WeekDay, AgreesWithDayCountingForEveryDayOf1900To2199)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int weekday = 1; // 1 January 1900 was a Monday
    for (int y = 1900; y < 2200; ++y)
        for (int m = 1; m <= 12; ++m) {
            const int length = days[m - 1] + (m == 2 && IsLeapYear(y) ? 1 : 0);
            for (int d = 1; d <= length; ++d) {
                ASSERT_EQ(WeekDay(d, m, y), weekday) << d << "." << m << "." << y;
                weekday = (weekday + 1) % 7;
            }
        }
}

TEST(WeekDay, RejectsImpossibleFields)
{
    EXPECT_EQ(WeekDay(0, 1, 2000), -1);
    EXPECT_EQ(WeekDay(32, 1, 2000), -1);
    EXPECT_EQ(WeekDay(1, 0, 2000), -1);
    EXPECT_EQ(WeekDay(1, 13, 2000), -1);
    EXPECT_EQ(WeekDay(1, 1, 0), -1);
}

TEST(IsLeapYear, GregorianRules)
{
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2400));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_FALSE(IsLeapYear(2026));
}

TEST(ParseLyraCommand, ReadsWhatTheTesterBuilds)
{
    for (int position = 0; position <= 9; ++position)
        EXPECT_EQ(ParseLyraCommand(BrightnessCommand(position)),
                  (LyraCommand{Kind::Brightness, 0, position}));
    for (int position : {0, 7, 10, 42, 99})
        EXPECT_EQ(ParseLyraCommand(TimeoutCommand(position)),
                  (LyraCommand{Kind::Timeout, 0, position}));

    const auto clock = ClockRegisterCommands({2026, 12, 7, 9, 5, 3});
    const int expected[7] = {3, 5, 9, 1, 7, 12, 26};
    for (int reg = 0; reg < 7; ++reg)
        EXPECT_EQ(ParseLyraCommand(clock[static_cast<std::size_t>(reg)]),
                  (LyraCommand{Kind::ClockRegister, reg, expected[reg]}))
            << "register " << reg;
}

TEST(ParseLyraCommand, RefusesNearMisses)
{
    for (const char* text : {
             "K    5",          // no carriage return
             "K   5\r",         // three blanks
             "K    x\r",        // not a digit
             "k    5\r",        // lower case
             "\x1bW0184\r",     // one digit
             "\x1bW018a1\r",    // not digits
             "W01842\r",        // no ESC
             "\x1bW00742\r",    // register 7 does not exist
             "\x1bW01942\r",    // another W code
             "\r",
             "",
         })
        EXPECT_FALSE(ParseLyraCommand(text)) << testing::PrintToString(std::string(text));
}

TEST(ParseLyraCommand, FindsTheCommandBehindNoiseAndAnEarlyCarriageReturn)
{
    // The string collector keeps a carriage return that came first, and bytes left over from
    // noise stay in front of the next command.
    EXPECT_EQ(ParseLyraCommand("\rK    3\r"), (LyraCommand{Kind::Brightness, 0, 3}));
    EXPECT_EQ(ParseLyraCommand("#~xz\x1bW01812\r"), (LyraCommand{Kind::Timeout, 0, 12}));
    // A display line is not a command.
    EXPECT_FALSE(ParseLyraCommand("        88:88:88.888  \r"));
}
