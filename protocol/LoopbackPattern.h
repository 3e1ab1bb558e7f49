#pragma once
// The loopback check's pattern and what came back of it: every byte value the frame carries,
// then display lines, compared with the bytes a jumper at the far end returned.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// The pattern in the pieces it is sent in: the byte values 0 to 2^dataBits - 1 in runs of 16,
// then the all-digits, blank and a running-time line.
std::vector<std::string> LoopbackPieces(int dataBits);

struct LoopbackCount {
    std::size_t sent = 0;
    std::size_t intact = 0;  // came back as sent, in order
    std::size_t changed = 0; // came back as another value, or extra bytes that were never sent
    std::size_t missing = 0; // never came back
};

// Lines up what came back with what was sent, allowing for changed, lost and extra bytes, and
// counts each kind with the fewest changes that explain the difference.
LoopbackCount CompareLoopback(std::string_view sent, std::string_view received);

} // namespace protocol
