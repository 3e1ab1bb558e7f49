#pragma once
// What the board took from its input: a display line or a Lyra command, with the route it came
// by and its bytes as received. `--print` writes each as one JSON object per line.

#include "protocol/DisplayLine.h"
#include "protocol/LyraCommands.h"

#include <string>

namespace board {

using protocol::LyraCommand;

enum class Route { Serial, Udp };

struct LineEvent {
    Route route = Route::Serial;
    protocol::MarqFields fields;
    std::string raw;
    bool shown = true; // false: addressed to another board
};

struct CommandEvent {
    Route route = Route::Serial;
    LyraCommand command;
    std::string raw;
};

const char* RouteName(Route route);
const char* KindName(LyraCommand::Kind kind);

// One compact JSON object, no line end. Bytes of `raw` are code points U+0000 to U+00FF.
std::string ToJson(const LineEvent& event);
std::string ToJson(const CommandEvent& event);

} // namespace board
