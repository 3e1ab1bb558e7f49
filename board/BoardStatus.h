#pragma once
// The board's status row, in the window and in the terminal alike: brightness, time-out, the
// board clock once set, the address it listens to, and why no digits show.

#include "BoardState.h"

#include <string>
#include <string_view>

namespace board {

// The parts of the row joined by `separator`.
std::string StatusText(const BoardState& state, SteadyClock::time_point now, std::string_view separator);

} // namespace board
