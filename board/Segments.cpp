#include "Segments.h"

namespace board {

std::uint8_t SegmentsFor(char c)
{
    switch (c) {
    case '0': case 'O': return sA | sB | sC | sD | sE | sF;
    case '1': return sB | sC;
    case '2': return sA | sB | sD | sE | sG;
    case '3': return sA | sB | sC | sD | sG;
    case '4': return sB | sC | sF | sG;
    case '5': case 'S': case 's': return sA | sC | sD | sF | sG;
    case '6': return sA | sC | sD | sE | sF | sG;
    case '7': return sA | sB | sC;
    case '8': case 'B': return sA | sB | sC | sD | sE | sF | sG;
    case '9': return sA | sB | sC | sD | sF | sG;
    case 'A': case 'a': return sA | sB | sC | sE | sF | sG;
    case 'b': return sC | sD | sE | sF | sG;
    case 'C': return sA | sD | sE | sF;
    case 'c': return sD | sE | sG;
    case 'D': case 'd': return sB | sC | sD | sE | sG;
    case 'E': case 'e': return sA | sD | sE | sF | sG;
    case 'F': case 'f': return sA | sE | sF | sG;
    case 'G': case 'g': return sA | sC | sD | sE | sF;
    case 'H': return sB | sC | sE | sF | sG;
    case 'h': return sC | sE | sF | sG;
    case 'I': case 'i': return sE | sF;
    case 'J': case 'j': return sB | sC | sD | sE;
    case 'L': case 'l': return sD | sE | sF;
    case 'N': case 'n': return sC | sE | sG;
    case 'o': return sC | sD | sE | sG;
    case 'P': case 'p': return sA | sB | sE | sF | sG;
    case 'R': case 'r': return sE | sG;
    case 'T': case 't': return sD | sE | sF | sG;
    case 'U': return sB | sC | sD | sE | sF;
    case 'u': return sC | sD | sE;
    case 'Y': case 'y': return sB | sC | sD | sF | sG;
    case '-': return sG;
    case '_': return sD;
    case '=': return sD | sG;
    default: return 0;
    }
}

SeparatorDots DotsFor(char c)
{
    switch (c) {
    case ':': case ';': return {true, true, false};
    case '.': case ',': return {false, false, true};
    case '\'': return {true, false, false};
    default: return {};
    }
}

} // namespace board
