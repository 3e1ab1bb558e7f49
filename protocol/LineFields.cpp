#include "LineFields.h"

#include <array>
#include <utility>

namespace protocol {
namespace {

// Writes text[i] into column columns[i] where both exist.
template <std::size_t N>
void CopyInto(std::string& line, const std::array<std::size_t, N>& columns, std::string_view text,
              const std::array<std::size_t, N>& positions)
{
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t column = columns[i];
        const std::size_t position = positions[i];
        if (column >= 1 && column <= line.size() && position >= 1 && position <= text.size())
            line[column - 1] = text[position - 1];
    }
}

void SetColumn(std::string& line, std::size_t column, char c)
{
    if (column >= 1 && column <= line.size())
        line[column - 1] = c;
}

char DigitChar(int value) { return static_cast<char>('0' + value % 10); }

} // namespace

std::string WithClock(std::string line, const ClockReading& clock, bool zeroHundredths)
{
    SetColumn(line, 9, DigitChar(clock.hour / 10));
    SetColumn(line, 10, DigitChar(clock.hour));
    SetColumn(line, 12, DigitChar(clock.minute / 10));
    SetColumn(line, 13, DigitChar(clock.minute));
    SetColumn(line, 15, DigitChar(clock.second / 10));
    SetColumn(line, 16, DigitChar(clock.second));
    SetColumn(line, 18, DigitChar(clock.hundredths / 10));
    SetColumn(line, 19, zeroHundredths ? '0' : DigitChar(clock.hundredths));
    return line;
}

std::string WithStartAndPlace(std::string line, std::string_view startNumber,
                              std::string_view place)
{
    CopyInto<3>(line, {1, 2, 3}, startNumber, {1, 2, 3});
    CopyInto<2>(line, {21, 22}, place, {1, 2});
    return line;
}

std::string WithSendData(std::string line, std::string_view startNumber, std::string_view time,
                         std::string_view place)
{
    line = WithStartAndPlace(std::move(line), startNumber, place);
    SetColumn(line, 4, 'C');
    CopyInto<9>(line, {9, 10, 12, 13, 15, 16, 18, 19, 20}, time, {1, 2, 4, 5, 7, 8, 10, 11, 12});
    return line;
}

} // namespace protocol
