#include "LyraCommand.h"

#include "protocol/DisplayLine.h"

namespace board {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<int> TwoDigits(std::string_view text)
{
    if (!IsDigit(text[0]) || !IsDigit(text[1]))
        return std::nullopt;
    return (text[0] - '0') * 10 + (text[1] - '0');
}

} // namespace

std::optional<LyraCommand> ParseLyraCommand(std::string_view text)
{
    if (text.empty() || text.back() != protocol::CR)
        return std::nullopt;

    if (text.size() >= 7) {
        const std::string_view tail = text.substr(text.size() - 7);
        if (tail.substr(0, 5) == "K    " && IsDigit(tail[5]))
            return LyraCommand{LyraCommand::Kind::Brightness, 0, tail[5] - '0'};
    }
    if (text.size() >= 8) {
        const std::string_view tail = text.substr(text.size() - 8);
        if (tail[0] != protocol::ESC)
            return std::nullopt;
        const auto value = TwoDigits(tail.substr(5, 2));
        if (!value)
            return std::nullopt;
        if (tail.substr(1, 4) == "W018")
            return LyraCommand{LyraCommand::Kind::Timeout, 0, *value};
        if (tail.substr(1, 3) == "W00" && tail[4] >= '0' && tail[4] <= '6')
            return LyraCommand{LyraCommand::Kind::ClockRegister, tail[4] - '0', *value};
    }
    return std::nullopt;
}

const char* KindName(LyraCommand::Kind kind)
{
    switch (kind) {
    case LyraCommand::Kind::Brightness: return "brightness";
    case LyraCommand::Kind::Timeout: return "timeout";
    case LyraCommand::Kind::ClockRegister: return "clock";
    }
    return "";
}

} // namespace board
