#include "board/BoardWidget.h"

#include "protocol/DisplayLine.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace board;

namespace {

// Sum of the red channel over the picture: the amber segments dominate it.
long long Light(BoardWidget& widget)
{
    const QImage image = widget.grab().toImage();
    long long sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            sum += qRed(image.pixel(x, y));
    return sum;
}

void Show(BoardState& state, const std::string& line)
{
    state.ShowLine(protocol::DecodeDisplayLine(line).Address, line, SteadyClock::now());
}

} // namespace

TEST(BoardWidget, LightFollowsDigitsSeparatorsAndBrightness)
{
    BoardState state;
    BoardWidget widget(state, "COM9");
    widget.resize(widget.sizeHint());

    const long long dark = Light(widget);
    Show(state, std::string(protocol::kBlank));
    const long long separators = Light(widget);
    Show(state, std::string(protocol::kAllDigits));
    const long long allDigits = Light(widget);
    EXPECT_LT(dark, separators);
    EXPECT_LT(separators, allDigits);

    state.Apply({LyraCommand::Kind::Brightness, 0, 1}, SteadyClock::now());
    const long long dim = Light(widget);
    EXPECT_LT(dim, allDigits);
    EXPECT_GT(dim, separators) << "dimmed, not dark";

    // A line that arrived longer ago than the time-out: the board is dark again. Only the
    // status row differs from the first picture.
    state.Apply({LyraCommand::Kind::Timeout, 0, 1}, SteadyClock::now());
    const std::string line(protocol::kAllDigits);
    state.ShowLine(' ', line, SteadyClock::now() - std::chrono::seconds(11));
    EXPECT_NEAR(Light(widget), dark, (separators - dark) / 2);
}
