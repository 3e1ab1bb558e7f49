#pragma once
// Recognises the control commands a Lyra board obeys in a received string: brightness
// "K    n" CR, time-out ESC "W018nn" CR and clock registers ESC "W00rnn" CR.

#include <optional>
#include <string_view>

namespace board {

struct LyraCommand {
    enum class Kind { Brightness, Timeout, ClockRegister };
    Kind kind = Kind::Brightness;
    int reg = 0;   // clock register 0 (seconds) to 6 (year); 0 otherwise
    int value = 0; // brightness 0-9, time-out 0-99 (tens of seconds), register value 0-99

    friend bool operator==(const LyraCommand&, const LyraCommand&) = default;
};

// The command at the end of `text`, if there is one. Only the end counts, so bytes that the
// string collector kept in front of a command (an early carriage return, noise on the line)
// do not hide it.
std::optional<LyraCommand> ParseLyraCommand(std::string_view text);

const char* KindName(LyraCommand::Kind kind);

} // namespace board
