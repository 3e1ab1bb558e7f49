#include "protocol/LineFormats.h"

#include "protocol/DisplayLine.h"
#include "protocol/LineRates.h"

#include <cstdio>

namespace protocol {

std::string LineFormat::Name() const
{
    return std::to_string(bitsPerSecond) + (kappa ? " 7-N-2" : " 8-N-1");
}

std::vector<LineFormat> SweepFormats()
{
    std::vector<LineFormat> formats;
    for (const bool kappa : {false, true}) {
        for (const LineRate& rate : kLineRates)
            formats.push_back({rate.bitsPerSecond, kappa});
    }
    return formats;
}

std::string FormatLine(const LineFormat& format)
{
    const int hundreds = format.bitsPerSecond / 100;
    const int frame = format.kappa ? 72 : 81;
    char line[32];
    std::snprintf(line, sizeof line, "%3d     %02d:%02d:%02d.000%02d%c", hundreds % 1000,
                  hundreds / 100 % 100, hundreds % 100, frame, frame, CR);
    return line;
}

int FrameBits(int dataBits, bool parity, int stopBits)
{
    return 1 + dataBits + (parity ? 1 : 0) + stopBits;
}

double LineMs(int characters, int bitsPerSecond, int frameBits)
{
    return bitsPerSecond > 0 ? 1000.0 * characters * frameBits / bitsPerSecond : 0.0;
}

} // namespace protocol
