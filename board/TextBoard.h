#pragma once
// The board drawn with characters for a terminal: three rows of seven-segment digits (start
// number, mode, time, place) and a status row.

#include "BoardState.h"

#include <string>
#include <vector>

namespace board {

std::vector<std::string> RenderText(const BoardState& state, SteadyClock::time_point now);

} // namespace board
