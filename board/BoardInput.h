#pragma once
// Where decoded input meets the board: display lines change what it shows, Lyra commands its
// settings, and every item is reported to whoever prints or draws it.

#include "BoardEvent.h"
#include "BoardState.h"
#include "lang/Closure.h"

#include <functional>
#include <string_view>

namespace board {

class BoardInput {
public:
    using Now = std::function<SteadyClock::time_point()>;

    explicit BoardInput(BoardState& state, Now now = &SteadyClock::now)
        : state_(state), now_(std::move(now))
    {
    }

    // A string the string collector delivered: a Lyra command, or anything else (ignored).
    void StringReceived(Route route, std::string_view text);
    // A display line the line collector delivered, with its decoded fields.
    void MarqReceived(Route route, const protocol::MarqFields& fields, std::string_view line);

    Closure<const LineEvent&> OnLine;
    Closure<const CommandEvent&> OnCommand;

private:
    BoardState& state_;
    Now now_;
};

} // namespace board
