#include "serial/LineSettings.h"

#include <array>

namespace {

constexpr std::array<int, brCustom + 1> kRates = {
    0, 50, 75, 110, 150, 300, 600, 1200, 1800, 2000, 2400, 3600, 4800, 7200, 9600, 10400, 14400,
    15625, 19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};

} // namespace

int BitsPerSecond(TBaudRate rate)
{
    return rate < kRates.size() ? kRates[rate] : 0;
}

TBaudRate BaudRateOf(int bitsPerSecond)
{
    for (std::size_t rate = br50; rate < brCustom; ++rate) {
        if (kRates[rate] == bitsPerSecond)
            return static_cast<TBaudRate>(rate);
    }
    return brDefault;
}
