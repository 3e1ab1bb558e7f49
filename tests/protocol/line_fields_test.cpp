#include "protocol/DisplayLine.h"
#include "protocol/LineFields.h"

#include <gtest/gtest.h>

#include <string>

using namespace protocol;

namespace {
std::string Line(std::string visible) { return visible + '\r'; }
}

TEST(WithClock, WritesEveryColumnAndDecodesBack)
{
    const std::string line = WithClock(std::string(kRunningTimeBase), {23, 59, 58, 97}, false);
    EXPECT_EQ(line, Line("   .    23:59:58.97   "));
    EXPECT_EQ(DecodeDisplayLine(line).Time, 863989700);
}

TEST(WithClock, At2400BaudColumn19IsAlwaysZero)
{
    EXPECT_EQ(WithClock(std::string(kRunningTimeBase), {9, 5, 3, 47}, true),
              Line("   .    09:05:03.40   "));
    EXPECT_EQ(WithClock(std::string(kRunningTimeBase), {9, 5, 3, 47}, false),
              Line("   .    09:05:03.47   "));
}

TEST(WithClock, MidnightAndSingleDigitsGetLeadingZeros)
{
    EXPECT_EQ(WithClock(std::string(kStoppedTimeBase), {0, 0, 0, 0}, false),
              Line("        00:00:00.00   "));
}

TEST(WithSendData, CopiesFieldsAsTheyStandSkippingTheTimeFieldsSeparators)
{
    EXPECT_EQ(WithSendData(std::string(kRunningTimeBase), " 12", "01:02:03.456", " 7"),
              Line(" 12C    01:02:03.456 7"));
    // Letters and the field's own separators: only the digit positions are copied.
    EXPECT_EQ(WithSendData(std::string(kRunningTimeBase), "abc", "ab;cd,ef!ghi", "xy"),
              Line("abcC    ab:cd:ef.ghixy"));
}

TEST(WithSendData, EmptyFieldsGiveBlanks)
{
    EXPECT_EQ(WithSendData(std::string(kRunningTimeBase), "   ", "  :  :  .   ", "  "),
              Line("   C      :  :  .     "));
}

TEST(WithStartAndPlace, ShortFieldsNeverWritePastTheirText)
{
    EXPECT_EQ(WithStartAndPlace(std::string(kRunningTimeBase), "", ""), std::string(kRunningTimeBase));
    EXPECT_EQ(WithStartAndPlace(std::string(kRunningTimeBase), "9", "4"), Line("9  .      :  :  .0  4 "));
}
