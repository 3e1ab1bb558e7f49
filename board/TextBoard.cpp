#include "TextBoard.h"

#include "BoardStatus.h"
#include "Segments.h"

namespace board {
namespace {

class Rows {
public:
    void Digit(char c)
    {
        const auto s = SegmentsFor(c);
        rows_[0] += {' ', s & sA ? '_' : ' ', ' '};
        rows_[1] += {s & sF ? '|' : ' ', s & sG ? '_' : ' ', s & sB ? '|' : ' '};
        const char foot = DotsFor(c).foot ? '.' : ' '; // a point in a digit column
        rows_[2] += {s & sE ? '|' : ' ', s & sD ? '_' : foot, s & sC ? '|' : ' '};
        Gap(1);
    }

    void Separator(char c)
    {
        const auto dots = DotsFor(c);
        rows_[0] += ' ';
        rows_[1] += dots.upper ? '.' : ' ';
        rows_[2] += dots.lower || dots.foot ? '.' : ' ';
        Gap(1);
    }

    void Gap(std::size_t width)
    {
        for (auto& row : rows_)
            row.append(width, ' ');
    }

    std::vector<std::string> Take() { return {rows_.begin(), rows_.end()}; }

private:
    std::array<std::string, 3> rows_;
};

} // namespace

std::vector<std::string> RenderText(const BoardState& state, SteadyClock::time_point now)
{
    const Columns shown = state.Blanked(now) ? Columns() : state.Shown();
    Rows rows;
    for (std::size_t column : {1, 2, 3})
        rows.Digit(shown.At(column));
    rows.Digit(shown.At(4));
    rows.Gap(2);
    for (std::size_t column = 9; column <= 20; ++column) {
        if (column == 11 || column == 14 || column == 17)
            rows.Separator(shown.At(column));
        else
            rows.Digit(shown.At(column));
    }
    rows.Gap(2);
    rows.Digit(shown.At(21));
    rows.Digit(shown.At(22));

    auto lines = rows.Take();
    lines.push_back(StatusText(state, now, "  "));
    return lines;
}

} // namespace board
