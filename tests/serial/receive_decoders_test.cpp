#include "serial/ReceiveDecoders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::vector<std::string> Strings(StringCollector& collector, std::string_view chunk)
{
    std::vector<std::string> out;
    collector.Collect(chunk, [&](std::string& s) { out.push_back(s); });
    return out;
}

template <typename Collector>
std::vector<std::string> Lines(Collector& collector, std::string_view chunk)
{
    std::vector<std::string> out;
    collector.Collect(chunk, [&](std::string_view line) {
        EXPECT_EQ(line.data()[line.size()], '\0');
        out.emplace_back(line);
    });
    return out;
}

// A backup line of 26 columns plus CR: start number 0042, channel 1, mode M, the given time
// text from column 11 on, blanks everywhere else.
std::string BackupLine(std::string_view time, std::size_t columns = 26)
{
    std::string line(columns, ' ');
    line.replace(1, 4, "0042");
    line[7] = '1';
    line[8] = 'M';
    line.replace(10, time.size(), time);
    return line + '\r';
}

TEST(StringCollector, EarlyCarriageReturnStaysInTheString)
{
    StringCollector c;
    EXPECT_EQ(Strings(c, "A\rBC\r"), std::vector<std::string>{"A\rBC\r"});
}

TEST(StringCollector, LineFeedAfterTheStringStartsTheNextOneClean)
{
    StringCollector c;
    EXPECT_EQ(Strings(c, "hello\r\nxy"), std::vector<std::string>{"hello\r"});
    EXPECT_EQ(Strings(c, "z\r"), std::vector<std::string>{"xyz\r"});
}

TEST(StringCollector, LengthBounds)
{
    StringCollector c;
    EXPECT_TRUE(Strings(c, "ab\r").size() == 1);
    EXPECT_TRUE(Strings(c, "b\r").empty()); // two bytes: the CR stays
    EXPECT_EQ(c.Count(), 2);

    StringCollector longest;
    const std::string s33(33, 'x');
    EXPECT_EQ(Strings(longest, s33 + '\r'), std::vector<std::string>{s33 + '\r'});

    // The 35th byte of a run resets, so the CR that follows ends nothing.
    StringCollector overlong;
    EXPECT_TRUE(Strings(overlong, std::string(34, 'x')).empty());
    EXPECT_EQ(overlong.Count(), 34);
    EXPECT_TRUE(Strings(overlong, "\r").empty());
    EXPECT_EQ(overlong.Count(), 0);
    EXPECT_EQ(Strings(overlong, "abc\r"), std::vector<std::string>{"abc\r"});
}

TEST(StringCollector, BytesOutsideTheRangeReset)
{
    for (const char bad : {'{', '~', '\x80', '\xff', '\t', '\n', '\0'}) {
        StringCollector c;
        std::string input = "abc"s + bad + "de\r";
        EXPECT_EQ(Strings(c, input), std::vector<std::string>{"de\r"}) << int(bad);
    }
    StringCollector c; // codes 14 to 31 are kept
    EXPECT_EQ(Strings(c, "a\x0e\x1f\r"), std::vector<std::string>{"a\x0e\x1f\r"});
}

TEST(StringCollector, ChangesByTheHandlerDoNotLast)
{
    StringCollector c;
    c.Collect("abc\rde", [](std::string& s) { s = "changed"; });
    EXPECT_EQ(Strings(c, "f\r"), std::vector<std::string>{"def\r"});
}

TEST(MarqLineCollector, AcceptedLengths)
{
    for (std::size_t length = 18; length <= 27; ++length) {
        MarqLineCollector c;
        const std::string line = std::string(length - 1, '1') + '\r';
        const bool accepted = length >= 21 && length <= 24;
        EXPECT_EQ(Lines(c, line).size(), accepted ? 1u : 0u) << length;
        // Whatever happened, the collector is ready for a clean line.
        EXPECT_EQ(Lines(c, "          :  .  .     \r").size(), 1u) << length;
    }
}

TEST(MarqLineCollector, ByteOutOfRangeDropsThePartialLine)
{
    for (const char bad : {'{', '\x7f', '\x80', '\n', '\0'}) {
        MarqLineCollector c;
        EXPECT_TRUE(Lines(c, "        88:88"s + bad + ":88.888  \r").empty()) << int(bad);
    }
}

TEST(MarqLineCollector, NestedFeedStartsCleanAndLeavesTheOuterLineIntact)
{
    MarqLineCollector c;
    const std::string outer = "        11:11:11.111  \r";
    const std::string inner = "        22:22:22.222  \r";
    std::vector<std::string> seen;
    bool nested = false;
    c.Collect(outer + "  ", [&](std::string_view line) {
        seen.emplace_back(line);
        if (!nested) {
            nested = true;
            c.Collect(inner, [&](std::string_view l) { seen.emplace_back(l); });
        }
        EXPECT_EQ(line, outer); // still the outer line after the nested pass
    });
    EXPECT_EQ(seen, (std::vector<std::string>{outer, inner}));
    EXPECT_EQ(c.Count(), 2);
}

TEST(ChronBackupLine, DecodesStartNumberChannelModeAndTime)
{
    ChronLineCollector c;
    std::vector<ChronFields> got;
    c.Collect(BackupLine("12:34:56.78"), [&](std::string_view l) { got.push_back(DecodeChronBackupLine(l)); });
    c.Collect(BackupLine("12:34:56.7891"), [&](std::string_view l) { got.push_back(DecodeChronBackupLine(l)); });
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (ChronFields{' ', 42, 1, 'M', 452967800}));
    EXPECT_EQ(got[1], (ChronFields{' ', 42, 1, 'M', 452967891}));
}

TEST(ChronBackupLine, BlankDigitCountsMinusSixteen)
{
    std::string line = BackupLine("12:34:56.78");
    line[1] = ' ';
    EXPECT_EQ(DecodeChronBackupLine(line).StartNumber, -15958);
}

TEST(ChronBackupLine, LargeValuesWrapAroundInsteadOfOverflowing)
{
    std::string line = BackupLine("zz:zz:zz.zzzz");
    const std::uint32_t v = 'z' - '0';
    const std::uint32_t expected = (360000000u + 36000000u + 6000000u + 600000u + 100000u +
                                    10000u + 1000u + 100u + 10u + 1u) * v;
    EXPECT_EQ(DecodeChronBackupLine(line).Time, static_cast<std::int32_t>(expected));
}

TEST(ChronLineCollector, AcceptsTwentySevenToThirtyBytes)
{
    for (std::size_t columns = 25; columns <= 31; ++columns) {
        ChronLineCollector c;
        const bool accepted = columns >= 26 && columns <= 29;
        EXPECT_EQ(Lines(c, BackupLine("12:34:56.78", columns)).size(), accepted ? 1u : 0u)
            << columns;
    }
}

TEST(PacketCutter, ZeroAndNegativeSizesDeliverWholeChunks)
{
    for (const std::int32_t size : {0, -1, -4}) {
        PacketCutter p;
        p.SetPacketSize(size);
        std::vector<std::string> got;
        auto keep = [&](std::string& s) { got.push_back(s); };
        p.Cut("", keep);
        EXPECT_TRUE(got.empty());
        p.Cut("xyz", keep);
        EXPECT_EQ(got, std::vector<std::string>{"xyz"});
        EXPECT_EQ(p.Pending(), 0u);
    }
}

TEST(PacketCutter, HandlerChangingTheSizeNeverLoops)
{
    PacketCutter p;
    p.SetPacketSize(2);
    std::vector<std::string> got;
    p.Cut("abcdefg", [&](std::string& s) {
        got.push_back(s);
        p.SetPacketSize(-1);
    });
    EXPECT_EQ(got, std::vector<std::string>{"ab"});
    EXPECT_EQ(p.Pending(), 5u);
    p.SetPacketSize(3);
    got.clear();
    p.Cut("h", [&](std::string& s) { got.push_back(s); });
    EXPECT_EQ(got, (std::vector<std::string>{"cde", "fgh"}));
}

TEST(PacketCutter, NestedCutKeepsEveryByteInOrder)
{
    PacketCutter p;
    p.SetPacketSize(2);
    std::string all;
    bool nested = false;
    std::function<void(std::string&)> keep = [&](std::string& s) {
        all += s;
        s = "??"; // the handler's copy only
        if (!nested) {
            nested = true;
            p.Cut("wxyz", keep);
        }
    };
    p.Cut("abcdef", keep);
    EXPECT_EQ(all, "abcdefwxyz");
    EXPECT_EQ(p.Pending(), 0u);
}

} // namespace

namespace {

// The collectors' rules written the plain way, one byte at a time, to check the fast versions
// against on random input.
std::vector<std::string> PlainStrings(std::string_view data)
{
    std::vector<std::string> out;
    std::string s;
    for (const unsigned char b : data) {
        s += static_cast<char>(b);
        const auto n = static_cast<std::int32_t>(s.size());
        if (b == 13 && n > 2 && n < 35) {
            out.push_back(s);
            s.clear();
        } else if (n >= 35 || b > 'z' || b < 13) {
            s.clear();
        }
    }
    return out;
}

std::vector<std::string> PlainLines(std::string_view data, std::size_t capacity, std::size_t min,
                                    std::size_t max)
{
    std::vector<std::string> out;
    std::string s;
    for (const unsigned char b : data) {
        s += static_cast<char>(b);
        if (b == 13 && s.size() >= min && s.size() <= max) {
            out.push_back(s);
            s.clear();
        } else if (s.size() >= capacity || b < ' ' || b > 'z') {
            s.clear();
        }
    }
    return out;
}

std::string RandomTraffic(std::mt19937& random, std::size_t size)
{
    std::string data;
    while (data.size() < size) {
        const unsigned kind = random() % 3;
        const std::size_t length = random() % 36;
        for (std::size_t i = 0; i < length; ++i)
            data += static_cast<char>(kind == 0 ? random() : ' ' + random() % 91);
        if (kind != 0)
            data += '\r';
    }
    return data;
}

TEST(Collectors, AgreeWithThePlainRulesHoweverTheInputIsCut)
{
    std::mt19937 random(99);
    const std::string data = RandomTraffic(random, 200000);
    const auto strings = PlainStrings(data);
    const auto marqs = PlainLines(data, 25, 21, 24);
    const auto chrons = PlainLines(data, 31, 27, 30);
    ASSERT_GT(strings.size(), 1000u);
    ASSERT_GT(marqs.size(), 100u);
    ASSERT_GT(chrons.size(), 100u);

    for (const std::size_t maxPiece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, data.size()}) {
        StringCollector s;
        MarqLineCollector m;
        ChronLineCollector c;
        std::vector<std::string> gotStrings, gotMarqs, gotChrons;
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t piece = std::min(data.size() - at, 1 + random() % maxPiece);
            const std::string_view chunk(data.data() + at, piece);
            s.Collect(chunk, [&](std::string& x) { gotStrings.push_back(x); });
            m.Collect(chunk, [&](std::string_view x) { gotMarqs.emplace_back(x); });
            c.Collect(chunk, [&](std::string_view x) { gotChrons.emplace_back(x); });
            at += piece;
        }
        EXPECT_EQ(gotStrings, strings) << maxPiece;
        EXPECT_EQ(gotMarqs, marqs) << maxPiece;
        EXPECT_EQ(gotChrons, chrons) << maxPiece;
    }
}

} // namespace
