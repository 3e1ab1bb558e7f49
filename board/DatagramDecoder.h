#pragma once
// Reads datagrams with the serial channel's own string and display-line collectors, in the
// channel's order (strings first, then lines), so that a line or command means the same by UDP
// as on the serial line. The collectors keep their state from one datagram to the next.

#include "BoardInput.h"
#include "serial/ReceiveDecoders.h"

#include <string_view>

namespace board {

class DatagramDecoder {
public:
    explicit DatagramDecoder(BoardInput& input) : input_(input) {}

    void Decode(std::string_view datagram);

private:
    BoardInput& input_;
    StringCollector strings_;
    MarqLineCollector lines_;
};

} // namespace board
