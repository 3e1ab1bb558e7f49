#include "board/LineFormat.h"

#include <gtest/gtest.h>

using board::LineFormat;
using board::Resample;

namespace {

const std::string kLine = "        88:88:88.888  \r";
const LineFormat k2400{2400, 8, 1};
const LineFormat k9600{9600, 8, 1};
const LineFormat kKappa9600{9600, 7, 2};

bool AllBelow128(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 128)
            return false;
    return true;
}

} // namespace

TEST(LineFormat, MatchingEndsPassBytesUnchanged)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    EXPECT_EQ(Resample(all, k9600, k9600), all);
    EXPECT_EQ(Resample(all, kKappa9600, kKappa9600), all);
    EXPECT_EQ(Resample(all, LineFormat{0, 8, 1}, k9600), all) << "unknown rate: no guessing";
}

TEST(LineFormat, FrameMismatchAtTheSameRateBehavesLikeAUart)
{
    // A 7-N-2 receiver reads 8-N-1 ASCII correctly: the eighth bit (0) is only a framing error.
    EXPECT_EQ(Resample(kLine, k9600, kKappa9600), kLine);

    // An 8-N-1 receiver takes the first stop bit of 7-N-2 as its eighth data bit.
    const std::string received = Resample(kLine, kKappa9600, k9600);
    ASSERT_EQ(received.size(), kLine.size());
    for (std::size_t i = 0; i < kLine.size(); ++i)
        EXPECT_EQ(static_cast<unsigned char>(received[i]),
                  static_cast<unsigned char>(kLine[i]) | 0x80u) << "byte " << i;
}

TEST(LineFormat, RateMismatchGivesGarbage)
{
    const std::string slowToFast = Resample(kLine, k2400, k9600);
    EXPECT_NE(slowToFast, kLine);
    EXPECT_GT(slowToFast.size(), kLine.size()) << "a fast receiver sees several frames per byte";

    const std::string fastToSlow = Resample(kLine, k9600, k2400);
    EXPECT_NE(fastToSlow, kLine);
    EXPECT_LT(fastToSlow.size(), kLine.size());

    // 4800 against 2400 must not pass a line through by accident.
    EXPECT_NE(Resample(kLine, LineFormat{4800, 8, 1}, k2400), kLine);
    EXPECT_TRUE(AllBelow128(Resample(kLine, k9600, kKappa9600)));
}

TEST(LineFormat, ReadsTheFormatFromTerminalSettings)
{
    termios settings{};
    cfsetospeed(&settings, B19200);
    settings.c_cflag |= CS7 | CSTOPB;
    EXPECT_EQ(board::FormatOf(settings), (LineFormat{19200, 7, 2}));
    settings.c_cflag = CS8;
    cfsetospeed(&settings, B2400);
    EXPECT_EQ(board::FormatOf(settings), (LineFormat{2400, 8, 1}));
}
