#pragma once
// The address letter a display line may carry in front of column 1, so that only the board of
// that address shows it.

#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// What the window offers, in the order of its list: "A" to "Z" without "K" (the text "K    "
// begins the Lyra brightness command), then "[", "\" and "]".
inline constexpr std::string_view kAddressLetters = "ABCDEFGHIJLMNOPQRSTUVWXYZ[\\]";
// The list's item for a line without address.
inline constexpr std::string_view kNoAddress = "NONE";

// What a receiver recognises as an address: "A" to "L". A line that starts with any other
// letter is read as unaddressed.
inline constexpr char kFirstDecodedAddress = 'A';
inline constexpr char kLastDecodedAddress = 'L';

constexpr bool IsDecodedAddress(unsigned char c)
{
    return c >= kFirstDecodedAddress && c <= kLastDecodedAddress;
}

// The window's letters as people write them, runs of letters shortened: "A-J", "L-Z", "[", ...
std::vector<std::string> AddressLetterRanges();

} // namespace protocol
