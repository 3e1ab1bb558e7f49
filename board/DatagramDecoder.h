#pragma once
// Reads datagrams with the serial channel's own string and display-line collectors, in the
// channel's order (strings first, then lines), so that a line or command means the same by UDP
// as on the serial line. Each datagram is read on its own: the window sends every line and
// command as one whole datagram, so whatever a datagram leaves unfinished is dropped and cannot
// shift or swallow the next line.

#include "BoardInput.h"

#include <string_view>

namespace board {

class DatagramDecoder {
public:
    explicit DatagramDecoder(BoardInput& input) : input_(input) {}

    void Decode(std::string_view datagram);

private:
    BoardInput& input_;
};

} // namespace board
