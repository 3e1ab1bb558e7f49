#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"

#include <gtest/gtest.h>

#include <string>

using namespace protocol;

namespace {

std::string Line(std::string visible) { return visible + '\r'; }

// A running Actual Time line as the window builds it: start number, "." mode, clock, place.
std::string RunningLine(const ClockReading& clock)
{
    return WithStartAndPlace(WithClock(std::string(kRunningTimeBase), clock, false), " 12", " 7");
}

} // namespace

TEST(RotateRight, MovesDigitPairsOneToTheRightAndClearsTheMode)
{
    const std::string line = RunningLine({12, 34, 56, 78});
    ASSERT_EQ(line, Line(" 12.    12:34:56.78  7"));
    EXPECT_EQ(RotateRight(line, false), Line(" 12     78:12:34.56  7"));
}

TEST(RotateRight, AllDigitsLineOnlyLosesNothing)
{
    EXPECT_EQ(RotateRight(std::string(kAllDigits), false), std::string(kAllDigits));
    // Lyra mode puts ":" in column 17 whatever it held.
    EXPECT_EQ(RotateRight(std::string(kAllDigits), true), std::string(kAllDigitsLyra));
    EXPECT_EQ(RotateRight(std::string(kAllDigitsLyra), true), std::string(kAllDigitsLyra));
}

TEST(RotateRight, ShortContinuousLineKeepsItsLength)
{
    const std::string rotated = RotateRight(std::string(kContinuousStep2), false);
    EXPECT_EQ(rotated.size(), kContinuousStep2.size());
    // Pair 18-19 ("78") to 9-10, " 1" to 12-13, "34" to 15-16, "56" to 18-19; 20 untouched.
    EXPECT_EQ(rotated, Line("abc     78  1:34.562"));
}

TEST(RotateRight, LinesTooShortForTheTimeColumnsAreLeftAlone)
{
    EXPECT_EQ(RotateRight("abc\r", true), "abc\r");
    EXPECT_EQ(RotateRight("", false), "");
}

TEST(RemoveSeparators, ColonsEverywherePointsFromColumnFive)
{
    const std::string running = RunningLine({1, 2, 3, 45});
    EXPECT_EQ(RemoveColons(running), Line(" 12.    01 02 03.45  7"));
    EXPECT_EQ(RemovePoints(running), Line(" 12.    01:02:03 45  7"));
    // Both: the mode "." in column 4 stays, 11, 14 and 17 become blanks.
    EXPECT_EQ(RemovePoints(RemoveColons(running)), Line(" 12.    01 02 03 45  7"));
}

TEST(RemoveSeparators, ColonTypedIntoTheStartNumberGoesToo)
{
    const std::string line = WithSendData(std::string(kRunningTimeBase), "1:2", "01:02:03.456", "  ");
    EXPECT_EQ(RemoveColons(line), Line("1 2C    01 02 03.456  "));
}

TEST(Address, PrefixMakesA24CharacterLine)
{
    const std::string line = WithAddress(std::string(kAllDigits), "B");
    EXPECT_EQ(line.size(), 24u);
    EXPECT_EQ(line, "B" + std::string(kAllDigits));
    EXPECT_EQ(DecodeDisplayLine(line).Address, 'B');
}

TEST(ApplyOptions, NothingTickedSendsTheLineUnchanged)
{
    EXPECT_EQ(ApplyOptions(std::string(kBlank), {}), std::string(kBlank));
}

TEST(ApplyOptions, RotationComesBeforeRemovalAndAddressComesLast)
{
    LineOptions options;
    options.rotateRight = true;
    options.lyra = true;
    options.removeColons = true;
    options.address = "\\";
    // Rotation writes ":" into column 17 and the colon removal then blanks it: order matters.
    EXPECT_EQ(ApplyOptions(RunningLine({12, 34, 56, 78}), options), "\\" + Line(" 12     78 12 34 56  7"));
}

TEST(ApplyOptions, EveryOptionOnTheBlankLine)
{
    LineOptions options;
    options.removeColons = true;
    options.removePoints = true;
    options.address = "Z";
    EXPECT_EQ(ApplyOptions(std::string(kBlank), options), "Z" + std::string(22, ' ') + "\r");
}
