#pragma once
// The line formats a board may expect: every rate of the window in 8-N-1 and in 7-N-2. The
// format sweep sends each as a display line that names it in columns every board has, and a
// line that must fit between two ticks is checked against its frame.

#include <string>
#include <vector>

namespace protocol {

struct LineFormat {
    int bitsPerSecond = 0;
    bool kappa = false; // 7-N-2; otherwise 8-N-1

    std::string Name() const; // "9600 8-N-1"
    friend bool operator==(const LineFormat&, const LineFormat&) = default;
};

// 8-N-1 at every rate of the list, then 7-N-2 at every rate.
std::vector<LineFormat> SweepFormats();

// The line that names its format: the rate in hundreds as hours and minutes (9600: 00:96), the
// frame as seconds (81 or 72), zero decimals; the start number repeats the rate in hundreds and
// the place the frame.
std::string FormatLine(const LineFormat& format);

// Bits one character takes on the line: start bit, data bits, parity bit, stop bits.
int FrameBits(int dataBits, bool parity, int stopBits);
// How long a line of `characters` takes at this rate and frame, in milliseconds.
double LineMs(int characters, int bitsPerSecond, int frameBits);

} // namespace protocol
