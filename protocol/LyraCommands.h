#pragma once
// Control commands of Lyra boards: brightness, display time-out and the board's own clock. The
// window builds them and the virtual board reads them, both from the grammar below.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

// "K    " and the position 0..9, then CR.
inline constexpr std::string_view kBrightnessPrefix = "K    ";
// After ESC: the register, its value as two digits, then CR.
inline constexpr std::string_view kTimeoutRegister = "W018";
inline constexpr std::string_view kClockRegisterPrefix = "W00"; // then the register digit
inline constexpr int kClockRegisterCount = 7;                   // registers 0 (seconds) to 6

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

// ESC "W00", the register 0..6, the value as two digits, CR.
std::string ClockRegisterCommand(int reg, int value);

// The seven clock-register commands in sending order: seconds, minutes, hours, day of week,
// day, month, year within its century.
std::array<std::string, kClockRegisterCount> ClockRegisterCommands(const DateTimeReading& now);

// A command as a board reads it.
struct LyraCommand {
    enum class Kind { Brightness, Timeout, ClockRegister };
    Kind kind = Kind::Brightness;
    int reg = 0;   // clock register 0 (seconds) to 6 (year); 0 otherwise
    int value = 0; // brightness 0-9, time-out 0-99 (tens of seconds), register value 0-99

    friend bool operator==(const LyraCommand&, const LyraCommand&) = default;
};

// The command at the end of `text`, if there is one. Only the end counts, so bytes that a
// receiver kept in front of a command (an early carriage return, noise on the line) do not
// hide it.
std::optional<LyraCommand> ParseLyraCommand(std::string_view text);

} // namespace protocol
