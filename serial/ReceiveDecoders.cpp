#include "serial/ReceiveDecoders.h"

namespace {

// Column c (from 1) as its code minus '0'. Unsigned so that odd characters wrap instead of
// overflowing; the caller reinterprets the sum.
std::uint32_t Value(std::string_view line, std::size_t c)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(line[c - 1])) - '0';
}

// The thousandths and ten-thousandths columns are optional: a blank there adds nothing.
std::uint32_t Optional(std::string_view line, std::size_t c, std::uint32_t weight)
{
    return line[c - 1] == ' ' ? 0 : weight * Value(line, c);
}

} // namespace

ChronFields DecodeChronBackupLine(std::string_view line)
{
    ChronFields f;
    if (line.size() < 27)
        return f;
    f.Info = line[0];
    f.StartNumber = static_cast<std::int32_t>(1000 * Value(line, 2) + 100 * Value(line, 3) +
                                              10 * Value(line, 4) + Value(line, 5));
    f.Channel = static_cast<std::int32_t>(Value(line, 8));
    f.Mode = line[8];
    const std::uint32_t time = 360000000u * Value(line, 11) + 36000000u * Value(line, 12) +
                               6000000u * Value(line, 14) + 600000u * Value(line, 15) +
                               100000u * Value(line, 17) + 10000u * Value(line, 18) +
                               1000u * Value(line, 20) + 100u * Value(line, 21) +
                               Optional(line, 22, 10) + Optional(line, 23, 1);
    f.Time = static_cast<std::int32_t>(time);
    return f;
}
