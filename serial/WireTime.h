#pragma once
// How long bytes take on the line at the rate and frame the device really runs at. Every byte
// is one frame: a start bit, the data bits, a parity bit where there is parity, the stop bits.

#include <chrono>

struct WireTime {
    int bitsPerSecond = 0; // 0: not known (a hung-up line, B0)
    int bitsPerFrame = 10;

    bool Known() const { return bitsPerSecond > 0; }
    std::chrono::nanoseconds Of(long long bytes) const
    {
        if (!Known() || bytes <= 0)
            return std::chrono::nanoseconds::zero();
        return std::chrono::nanoseconds(bytes * bitsPerFrame * 1'000'000'000LL / bitsPerSecond);
    }
};
