#pragma once
// Control commands of Lyra boards: brightness, display time-out and the board's own clock.

#include <array>
#include <string>

namespace protocol {

// Decimal digits of |value|, padded in front with `pad` to `width`, cut to the last `width`
// characters; a negative value gets "-" as its first character.
std::string PadNumber(int value, int width, char pad);

// Day of the week, 0 Sunday to 6 Saturday, or -1 for a rejected date.
int WeekDay(int day, int month, int year);
bool IsLeapYear(int year);

// "K", four blanks, the position 0..9, CR.
std::string BrightnessCommand(int position);

// ESC "W018", the position 0..99 as two digits (tens of seconds; 0 means none), CR.
std::string TimeoutCommand(int position);

// What the window shows for a time-out position: "No Timeout" or the seconds and " s".
std::string TimeoutText(int position);

struct DateTimeReading {
    int year = 2000, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0;
};

// The seven clock-register commands in sending order: seconds, minutes, hours, day of week,
// day, month, year within its century; each ESC "W00" register two-digits CR.
std::array<std::string, 7> ClockRegisterCommands(const DateTimeReading& now);

} // namespace protocol
