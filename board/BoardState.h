#pragma once
// What the board shows: the columns of the last accepted display line, exactly as they arrived,
// and the Lyra settings (brightness, time-out, clock registers). Time is passed in, so the state
// can be driven by a real clock or by a test.

#include "protocol/LyraCommands.h"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace board {

using protocol::LyraCommand;
using SteadyClock = std::chrono::steady_clock;

// The 22 visible columns of an unaddressed line (1-based), blanks where the line was shorter.
class Columns {
public:
    static constexpr std::size_t kCount = 22;

    Columns() { text_.fill(' '); }
    explicit Columns(std::string_view visible);

    char At(std::size_t column) const { return text_[column - 1]; }
    std::string_view Range(std::size_t first, std::size_t last) const
    {
        return std::string_view(text_.data() + first - 1, last - first + 1);
    }

    friend bool operator==(const Columns&, const Columns&) = default;

private:
    std::array<char, kCount> text_;
};

class BoardState {
public:
    static constexpr int kFullBrightness = 9;

    // `address`: the board's own letter; lines addressed to another letter are ignored.
    explicit BoardState(std::optional<char> address = std::nullopt) : address_(address) {}

    // A decoded display line (carriage return included) and the address its decoder found
    // (a blank for an unaddressed line). Returns false when the line is meant for another board.
    bool ShowLine(char address, std::string_view line, SteadyClock::time_point now);
    void Apply(const LyraCommand& command, SteadyClock::time_point now);

    const Columns& Shown() const { return columns_; }
    bool HasLine() const { return lastLine_.has_value(); }
    int Brightness() const { return brightness_; }
    int TimeoutPosition() const { return timeout_; }
    std::optional<char> Address() const { return address_; }

    // The display goes dark once the time-out has passed since the last line.
    bool Blanked(SteadyClock::time_point now) const;

    // The board's clock as "Www DD.MM.YY HH:MM:SS", or nothing before a register arrived.
    // Registers not received yet show as "--"; once all seven are in and form a valid date, the
    // clock runs on from the moment the last one arrived.
    std::optional<std::string> ClockText(SteadyClock::time_point now) const;

private:
    std::optional<char> address_;
    Columns columns_;
    std::optional<SteadyClock::time_point> lastLine_;
    int brightness_ = kFullBrightness;
    int timeout_ = 0;
    std::array<int, 7> registers_{-1, -1, -1, -1, -1, -1, -1};
    SteadyClock::time_point registersSet_{};
};

} // namespace board
