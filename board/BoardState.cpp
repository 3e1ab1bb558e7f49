#include "BoardState.h"

#include <algorithm>
#include <cstdio>

namespace board {
namespace {

enum Register { rSecond, rMinute, rHour, rWeekDay, rDay, rMonth, rYear };

std::string TwoDigitsOrDashes(int value)
{
    if (value < 0)
        return "--";
    char text[4];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

std::string WeekDayName(int value)
{
    static constexpr const char* kNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if (value < 0)
        return "---";
    return value < 7 ? kNames[value] : "???";
}

} // namespace

Columns::Columns(std::string_view visible) : Columns()
{
    std::copy_n(visible.begin(), std::min(visible.size(), kCount), text_.begin());
}

bool BoardState::ShowLine(char address, std::string_view line, SteadyClock::time_point now)
{
    if (address_ && address != ' ' && address != *address_)
        return false;
    std::string_view visible = line;
    if (address != ' ')
        visible.remove_prefix(1);
    if (!visible.empty() && visible.back() == '\r')
        visible.remove_suffix(1);
    columns_ = Columns(visible);
    lastLine_ = now;
    return true;
}

void BoardState::Apply(const LyraCommand& command, SteadyClock::time_point now)
{
    switch (command.kind) {
    case LyraCommand::Kind::Brightness:
        brightness_ = command.value;
        break;
    case LyraCommand::Kind::Timeout:
        timeout_ = command.value;
        break;
    case LyraCommand::Kind::ClockRegister:
        registers_[static_cast<std::size_t>(command.reg)] = command.value;
        registersSet_ = now;
        break;
    }
}

bool BoardState::Blanked(SteadyClock::time_point now) const
{
    return timeout_ > 0 && lastLine_ && now - *lastLine_ >= std::chrono::seconds(10 * timeout_);
}

std::optional<std::string> BoardState::ClockText(SteadyClock::time_point now) const
{
    using namespace std::chrono;
    const auto& r = registers_;
    if (std::all_of(r.begin(), r.end(), [](int v) { return v < 0; }))
        return std::nullopt;

    const bool complete = std::none_of(r.begin(), r.end(), [](int v) { return v < 0; });
    const year_month_day date{year{2000 + r[rYear]}, month{static_cast<unsigned>(r[rMonth])},
                              day{static_cast<unsigned>(r[rDay])}};
    if (complete && date.ok() && r[rHour] < 24 && r[rMinute] < 60 && r[rSecond] < 60) {
        const sys_seconds set = sys_days{date} + hours{r[rHour]} + minutes{r[rMinute]} +
                                seconds{r[rSecond]};
        const sys_seconds shown = set + duration_cast<seconds>(now - registersSet_);
        const auto shownDay = floor<days>(shown);
        const year_month_day d{shownDay};
        const hh_mm_ss t{shown - shownDay};
        // The board counts its weekday on from the register it was given.
        const auto daysOn = (shownDay - sys_days{date}).count();
        char text[32];
        std::snprintf(text, sizeof text, "%s %02u.%02u.%02d %02d:%02d:%02d",
                      WeekDayName(r[rWeekDay] < 7 ? static_cast<int>((r[rWeekDay] + daysOn) % 7)
                                                  : r[rWeekDay])
                          .c_str(),
                      static_cast<unsigned>(d.day()), static_cast<unsigned>(d.month()),
                      static_cast<int>(d.year()) % 100, static_cast<int>(t.hours().count()),
                      static_cast<int>(t.minutes().count()),
                      static_cast<int>(t.seconds().count()));
        return std::string(text);
    }
    return WeekDayName(r[rWeekDay]) + " " + TwoDigitsOrDashes(r[rDay]) + "." +
           TwoDigitsOrDashes(r[rMonth]) + "." + TwoDigitsOrDashes(r[rYear]) + " " +
           TwoDigitsOrDashes(r[rHour]) + ":" + TwoDigitsOrDashes(r[rMinute]) + ":" +
           TwoDigitsOrDashes(r[rSecond]);
}

} // namespace board
