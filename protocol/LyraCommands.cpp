#include "LyraCommands.h"

#include "DisplayLine.h"

#include <cstdlib>

namespace protocol {

std::string PadNumber(int value, int width, char pad)
{
    // Widened so that the magnitude of the smallest int is still exact.
    std::string text = std::to_string(std::llabs(static_cast<long long>(value)));
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), pad);
    if (width >= 0 && static_cast<int>(text.size()) > width)
        text.erase(0, text.size() - static_cast<std::size_t>(width));
    if (value < 0 && !text.empty())
        text[0] = '-';
    return text;
}

bool IsLeapYear(int year)
{
    if (year % 400 == 0)
        return true;
    if (year % 100 == 0)
        return false;
    return year % 4 == 0;
}

int WeekDay(int day, int month, int year)
{
    static constexpr int kMonthTerm[12] = {0, 3, 3, 6, 1, 4, 6, 2, 5, 0, 3, 5};
    if (day <= 0 || day > 31 || month <= 0 || month > 12 || year == 0)
        return -1;
    int dayTerm = day % 7;
    if ((month == 1 || month == 2) && IsLeapYear(year))
        dayTerm += 6;
    const int yy = year % 100;
    const int yearTerm = (yy + yy / 4) % 7;
    const int centuryTerm = 2 * (3 - (year / 100) % 4);
    return (dayTerm + kMonthTerm[month - 1] + yearTerm + centuryTerm) % 7;
}

std::string BrightnessCommand(int position)
{
    return "K    " + std::to_string(position) + CR;
}

std::string TimeoutCommand(int position)
{
    return std::string{ESC} + "W018" + PadNumber(position, 2, '0') + CR;
}

std::string TimeoutText(int position)
{
    return position > 0 ? std::to_string(position * 10) + " s" : "No Timeout";
}

std::array<std::string, 7> ClockRegisterCommands(const DateTimeReading& now)
{
    const int values[7] = {now.second, now.minute, now.hour,
                           WeekDay(now.day, now.month, now.year),
                           now.day, now.month, now.year};
    std::array<std::string, 7> commands;
    for (int r = 0; r < 7; ++r)
        commands[r] = std::string{ESC} + "W00" + static_cast<char>('0' + r) +
                      PadNumber(values[r], 2, '0') + CR;
    return commands;
}

} // namespace protocol
