#include "BoardInput.h"

namespace board {

void BoardInput::StringReceived(Route route, std::string_view text)
{
    const auto command = protocol::ParseLyraCommand(text);
    if (!command)
        return;
    state_.Apply(*command, now_());
    if (OnCommand)
        OnCommand(CommandEvent{route, *command, std::string(text)});
}

void BoardInput::MarqReceived(Route route, const protocol::MarqFields& fields, std::string_view line)
{
    const bool shown = state_.ShowLine(fields.Address, line, now_());
    if (OnLine)
        OnLine(LineEvent{route, fields, std::string(line), shown});
}

} // namespace board
