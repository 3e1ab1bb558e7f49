#include "protocol/Addresses.h"

namespace protocol {
namespace {

bool IsLetter(char c) { return c >= 'A' && c <= 'Z'; }

} // namespace

std::vector<std::string> AddressLetterRanges()
{
    std::vector<std::string> ranges;
    const std::string_view letters = kAddressLetters;
    std::size_t first = 0;
    while (first < letters.size()) {
        std::size_t last = first; // the end of a run of letters in alphabetical order
        while (last + 1 < letters.size() && IsLetter(letters[last]) && IsLetter(letters[last + 1]) &&
               letters[last + 1] == letters[last] + 1)
            ++last;
        if (last - first >= 2) {
            ranges.push_back({letters[first], '-', letters[last]});
        } else {
            for (std::size_t i = first; i <= last; ++i)
                ranges.push_back({letters[i]});
        }
        first = last + 1;
    }
    return ranges;
}

} // namespace protocol
