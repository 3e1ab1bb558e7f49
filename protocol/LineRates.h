#pragma once
// The line rates the test window offers, in the order of its Baudrate list, with the tick of
// Actual Time at each: one 23-character line of 10-bit characters just fits between two ticks.
// The options of both programs and the board read them from here.

#include <array>
#include <string>
#include <vector>

namespace protocol {

struct LineRate {
    int bitsPerSecond;
    int actualTimeMs;
    // At 2400 baud a line takes too long for the hundredths to mean anything: column 19 shows
    // "0" instead.
    bool hundredths;
};

inline constexpr std::array<LineRate, 4> kLineRates = {{
    {2400, 100, false},
    {4800, 50, true},
    {9600, 25, true},
    {19200, 13, true},
}};

// The rate at a position of the list; the first one for a position outside it.
constexpr const LineRate& LineRateAt(int position)
{
    return position >= 0 && position < static_cast<int>(kLineRates.size())
               ? kLineRates[static_cast<std::size_t>(position)]
               : kLineRates.front();
}

// The rates in bits per second as text, in list order.
std::vector<std::string> LineRateTexts();

} // namespace protocol
