#include "LyraCommands.h"

#include "DisplayLine.h"

#include <cstdlib>

namespace protocol {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

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
    return std::string(kBrightnessPrefix) + std::to_string(position) + CR;
}

std::string TimeoutCommand(int position)
{
    return ESC + std::string(kTimeoutRegister) + PadNumber(position, 2, '0') + CR;
}

std::string TimeoutText(int position)
{
    return position > 0 ? std::to_string(position * 10) + " s" : "No Timeout";
}

std::string ClockRegisterCommand(int reg, int value)
{
    return ESC + std::string(kClockRegisterPrefix) + static_cast<char>('0' + reg) +
           PadNumber(value, 2, '0') + CR;
}

std::array<std::string, kClockRegisterCount> ClockRegisterCommands(const DateTimeReading& now)
{
    const int values[kClockRegisterCount] = {now.second, now.minute, now.hour,
                                             WeekDay(now.day, now.month, now.year),
                                             now.day, now.month, now.year};
    std::array<std::string, kClockRegisterCount> commands;
    for (int r = 0; r < kClockRegisterCount; ++r)
        commands[static_cast<std::size_t>(r)] = ClockRegisterCommand(r, values[r]);
    return commands;
}

std::optional<LyraCommand> ParseLyraCommand(std::string_view text)
{
    if (text.empty() || text.back() != CR)
        return std::nullopt;

    // The prefix, one digit, CR.
    if (const std::size_t size = kBrightnessPrefix.size() + 2; text.size() >= size) {
        const std::string_view tail = text.substr(text.size() - size);
        if (tail.starts_with(kBrightnessPrefix) && IsDigit(tail[size - 2]))
            return LyraCommand{LyraCommand::Kind::Brightness, 0, tail[size - 2] - '0'};
    }
    // ESC, a register of four characters, two digits, CR.
    constexpr std::size_t kRegisterSize = 4;
    static_assert(kTimeoutRegister.size() == kRegisterSize &&
                  kClockRegisterPrefix.size() + 1 == kRegisterSize);
    if (const std::size_t size = 1 + kRegisterSize + 3; text.size() >= size) {
        const std::string_view tail = text.substr(text.size() - size);
        const std::string_view reg = tail.substr(1, kRegisterSize);
        const std::string_view digits = tail.substr(1 + kRegisterSize, 2);
        if (tail[0] != ESC || !IsDigit(digits[0]) || !IsDigit(digits[1]))
            return std::nullopt;
        const int value = (digits[0] - '0') * 10 + (digits[1] - '0');
        if (reg == kTimeoutRegister)
            return LyraCommand{LyraCommand::Kind::Timeout, 0, value};
        const int clock = reg.back() - '0';
        if (reg.starts_with(kClockRegisterPrefix) && clock >= 0 && clock < kClockRegisterCount)
            return LyraCommand{LyraCommand::Kind::ClockRegister, clock, value};
    }
    return std::nullopt;
}

} // namespace protocol
