#include "protocol/DisplayLine.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using protocol::DecodeDisplayLine;
using protocol::MarqFields;

namespace {

std::string Line(std::string visible) { return visible + '\r'; }

MarqFields Fields(char address, int start, char mode, int time, int place)
{
    return MarqFields{address, start, mode, time, place};
}

// A 23-character line with a given place and everything else blank around a zero time.
std::string WithPlace(const std::string& place)
{
    std::string line = Line("   C    00:00:00.000  ");
    line.replace(20, 2, place);
    return line;
}

} // namespace

TEST(DecodeDisplayLine, TemplatesTheWindowSends)
{
    // Tens columns hold "8", outside their range, so they count nothing.
    EXPECT_EQ(DecodeDisplayLine(protocol::kAllDigits), Fields(' ', 0, ' ', 292888880, -1));
    EXPECT_EQ(DecodeDisplayLine(protocol::kAllDigitsLyra), Fields(' ', 0, ' ', 292888880, -1));
    EXPECT_EQ(DecodeDisplayLine(protocol::kBlank), Fields(' ', 0, ' ', 0, -1));
    EXPECT_EQ(DecodeDisplayLine(protocol::kContinuousStep2), Fields(' ', 0, ' ', 56967820, -1));
}

TEST(DecodeDisplayLine, SendDataLineUnaddressedAndAddressed)
{
    const std::string line = Line(" 12C    01:02:03.456 7");
    ASSERT_EQ(line.size(), 23u);
    EXPECT_EQ(DecodeDisplayLine(line), Fields(' ', 12, 'C', 37234560, 7));
    EXPECT_EQ(DecodeDisplayLine("B" + line), Fields('B', 12, 'C', 37234560, 7));
}

TEST(DecodeDisplayLine, LyraLineWithAddressIsNotRecognisedAsAddressed)
{
    // ":" in column 18 of the addressed line: everything shifts back by one column.
    const std::string line = "B" + Line(" 12C    01:02:03:456 7");
    EXPECT_EQ(DecodeDisplayLine(line), Fields(' ', 1, '2', 450, -1));
}

TEST(DecodeDisplayLine, AddressOnlyFromAToL)
{
    const std::string body = Line(" 12C    01:02:03.456 7");
    EXPECT_EQ(DecodeDisplayLine("L" + body).Address, 'L');
    EXPECT_EQ(DecodeDisplayLine("A" + body).Address, 'A');
    EXPECT_EQ(DecodeDisplayLine("M" + body).Address, ' ');
    EXPECT_EQ(DecodeDisplayLine("@" + body).Address, ' ');
    // Blank in column 18 also marks an addressed line.
    EXPECT_EQ(DecodeDisplayLine("C" + Line(" 12C    01:02:03 456 7")).Address, 'C');
}

TEST(DecodeDisplayLine, PlaceRulesByLengthUnaddressed)
{
    EXPECT_EQ(DecodeDisplayLine(WithPlace("42")).Place, 42);
    EXPECT_EQ(DecodeDisplayLine(WithPlace(" 7")).Place, 7);
    EXPECT_EQ(DecodeDisplayLine(WithPlace("  ")).Place, -1);
    EXPECT_EQ(DecodeDisplayLine(WithPlace("7 ")).Place, -1);
    EXPECT_EQ(DecodeDisplayLine(WithPlace("x5")).Place, 5);
    // 24 characters without a valid address letter: still columns 21-22.
    std::string long24 = Line("   C    00:00:00.00042x");
    EXPECT_EQ(DecodeDisplayLine(long24).Place, 42);
    // 22 characters: a one-character place.
    EXPECT_EQ(DecodeDisplayLine(Line("   C    00:00:00.0009")).Place, 9);
    EXPECT_EQ(DecodeDisplayLine(Line("   C    00:00:00.000 ")).Place, -1);
    // 21 characters: no place at all.
    EXPECT_EQ(DecodeDisplayLine(Line("   C    00:00:00.000")).Place, -1);
}

TEST(DecodeDisplayLine, PlaceRulesAddressed)
{
    EXPECT_EQ(DecodeDisplayLine("B" + WithPlace("  ")).Place, 0);
    EXPECT_EQ(DecodeDisplayLine("B" + WithPlace("7 ")).Place, 70);
    EXPECT_EQ(DecodeDisplayLine("B" + WithPlace("42")).Place, 42);
    // Shorter addressed lines carry no place.
    EXPECT_EQ(DecodeDisplayLine("B" + Line("   C    00:00:00.000 ")).Place, -1);
    EXPECT_EQ(DecodeDisplayLine("B" + Line("   C    00:00:00.000")).Place, -1);
}

TEST(DecodeDisplayLine, EachTimeColumnHasItsWeightAndRange)
{
    struct Case { int column; char maxDigit; int weight; };
    const Case cases[] = {{9, '2', 360000000}, {10, '9', 36000000}, {12, '5', 6000000},
                          {13, '9', 600000},   {15, '5', 100000},   {16, '9', 10000},
                          {18, '9', 1000},     {19, '9', 100},      {20, '9', 10}};
    const std::string blank = Line("          :  :  .     ");
    for (const Case& c : cases) {
        for (char d = '0'; d <= '9'; ++d) {
            std::string line = blank;
            line[c.column - 1] = d;
            const int expected = d <= c.maxDigit ? (d - '0') * c.weight : 0;
            EXPECT_EQ(DecodeDisplayLine(line).Time, expected) << "column " << c.column << " digit " << d;
        }
        std::string line = blank;
        line[c.column - 1] = 'x';
        EXPECT_EQ(DecodeDisplayLine(line).Time, 0) << "column " << c.column;
    }
}

TEST(DecodeDisplayLine, LargestTimes)
{
    EXPECT_EQ(DecodeDisplayLine(Line("        23:59:59.999  ")).Time, 863999990);
    EXPECT_EQ(DecodeDisplayLine(Line("        29:59:59.999  ")).Time, 1079999990);
}

TEST(DecodeDisplayLine, StartNumberCountsNonDigitsAsZero)
{
    EXPECT_EQ(DecodeDisplayLine(Line("  7     00:00:00.000  ")).StartNumber, 7);
    EXPECT_EQ(DecodeDisplayLine(Line("9x9     00:00:00.000  ")).StartNumber, 909);
    EXPECT_EQ(DecodeDisplayLine(Line("999     00:00:00.000  ")).StartNumber, 999);
}

TEST(DecodeDisplayLine, AnyBytesOfAnyLengthNeverLeaveTheLine)
{
    // Lines are given exactly as long as they are, so the sanitizers see any read past the end.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t length = 0; length <= 30; ++length) {
        for (int round = 0; round < 2000; ++round) {
            std::string line(length, '\0');
            for (char& c : line)
                c = static_cast<char>(byte(random));
            if (round % 2 && length > 0)
                line[0] = static_cast<char>('A' + round % 12);
            const MarqFields f = DecodeDisplayLine(line);
            EXPECT_GE(f.StartNumber, 0);
            EXPECT_LE(f.StartNumber, 999);
            EXPECT_GE(f.Time, 0);
            EXPECT_LE(f.Time, 1079999990);
            EXPECT_GE(f.Place, -1);
            EXPECT_LE(f.Place, 99);
        }
    }
}
