#include "BoardStatus.h"

#include <vector>

namespace board {

std::string StatusText(const BoardState& state, SteadyClock::time_point now, std::string_view separator)
{
    std::vector<std::string> parts;
    parts.push_back("Brightness " + std::to_string(state.Brightness()));
    parts.push_back(state.TimeoutPosition() ? "Time-out " + std::to_string(10 * state.TimeoutPosition()) + " s"
                                            : std::string("No time-out"));
    if (const auto clock = state.ClockText(now))
        parts.push_back("Clock " + *clock);
    if (state.Address())
        parts.push_back(std::string("Address ") + *state.Address());
    if (state.Blanked(now))
        parts.push_back("Dark (time-out)");
    else if (!state.HasLine())
        parts.push_back("Waiting for a line");

    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : std::string(separator)) + part;
    return text;
}

} // namespace board
