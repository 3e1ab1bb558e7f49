#include "board/LyraCommand.h"
#include "protocol/LyraCommands.h"

#include <gtest/gtest.h>

using board::LyraCommand;
using board::ParseLyraCommand;
using Kind = LyraCommand::Kind;

TEST(LyraCommand, ReadsWhatTheTesterBuilds)
{
    for (int position = 0; position <= 9; ++position)
        EXPECT_EQ(ParseLyraCommand(protocol::BrightnessCommand(position)),
                  (LyraCommand{Kind::Brightness, 0, position}));
    for (int position : {0, 7, 10, 42, 99})
        EXPECT_EQ(ParseLyraCommand(protocol::TimeoutCommand(position)),
                  (LyraCommand{Kind::Timeout, 0, position}));

    const auto clock = protocol::ClockRegisterCommands({2026, 12, 7, 9, 5, 3});
    const int expected[7] = {3, 5, 9, 1, 7, 12, 26};
    for (int reg = 0; reg < 7; ++reg)
        EXPECT_EQ(ParseLyraCommand(clock[static_cast<std::size_t>(reg)]),
                  (LyraCommand{Kind::ClockRegister, reg, expected[reg]}))
            << "register " << reg;
}

TEST(LyraCommand, RefusesNearMisses)
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

TEST(LyraCommand, FindsTheCommandBehindNoiseAndAnEarlyCarriageReturn)
{
    // The string collector keeps a carriage return that came first, and bytes left over from
    // noise stay in front of the next command.
    EXPECT_EQ(ParseLyraCommand("\rK    3\r"), (LyraCommand{Kind::Brightness, 0, 3}));
    EXPECT_EQ(ParseLyraCommand("#~xz\x1bW01812\r"), (LyraCommand{Kind::Timeout, 0, 12}));
    // A display line is not a command.
    EXPECT_FALSE(ParseLyraCommand("        88:88:88.888  \r"));
}
