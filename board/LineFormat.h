#pragma once
// The character format of one end of a serial line, and what a receiver set to another format
// makes of the sender's bits. A virtual line passes bytes unchanged; with this, a mismatch of
// baud rate or frame between the tester and the board shows as the garbage a real line gives.

#include <string>
#include <string_view>
#include <termios.h>

namespace board {

struct LineFormat {
    int baud = 0; // bits per second; 0 when the rate is not a standard one
    int dataBits = 8;
    int stopBits = 1;

    friend bool operator==(const LineFormat&, const LineFormat&) = default;
};

LineFormat FormatOf(const termios& settings);

// Sends `bytes` bit by bit in format `from` (start bit, data bits least significant first,
// stop bits, back to back) and samples the line in the middle of each bit as a receiver in
// format `to` does. Same formats, or an unknown rate, give the bytes unchanged.
std::string Resample(std::string_view bytes, const LineFormat& from, const LineFormat& to);

} // namespace board
