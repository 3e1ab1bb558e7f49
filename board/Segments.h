#pragma once
// Seven-segment patterns for the characters a board cell can show. Bit 0 is segment a (top),
// then b (upper right), c (lower right), d (bottom), e (lower left), f (upper left), g (middle).

#include <cstdint>

namespace board {

enum Segment : std::uint8_t {
    sA = 1 << 0, sB = 1 << 1, sC = 1 << 2, sD = 1 << 3, sE = 1 << 4, sF = 1 << 5, sG = 1 << 6,
};

// Characters without a seven-segment form light nothing, as on a board.
std::uint8_t SegmentsFor(char c);

// How a separator column is lit: a colon has its two middle dots, a point the one at the foot.
struct SeparatorDots {
    bool upper = false;
    bool lower = false;
    bool foot = false;
};
SeparatorDots DotsFor(char c);

} // namespace board
