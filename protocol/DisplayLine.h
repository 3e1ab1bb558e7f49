#pragma once
// The display line: a fixed-width ASCII line for a Marq or Lyra board, columns numbered from 1,
// ended by a carriage return. Templates the window starts from, the options it applies before
// sending, and the decoding of a received line into its fields.

#include <cstdint>
#include <string>
#include <string_view>

namespace protocol {

inline constexpr char CR = 13;
inline constexpr char ESC = 27;

// Templates, each with its carriage return. Blanks are counted exactly.
inline constexpr std::string_view kAllDigits = "        88:88:88.888  \r";
inline constexpr std::string_view kAllDigitsLyra = "        88:88:88:888  \r";
inline constexpr std::string_view kBlank = "          :  .  .     \r";
inline constexpr std::string_view kSeparatorsOnly = "          :  :  .     \r";
inline constexpr std::string_view kContinuousStep2 = "abc      1 34:56.782\r";
inline constexpr std::string_view kRunningTimeBase = "   .      :  :  .0    \r";
inline constexpr std::string_view kStoppedTimeBase = "          :  :  .0    \r";

// Shortest and longest line a decoder accepts, carriage return included.
inline constexpr std::size_t kMinLineLength = 21;
inline constexpr std::size_t kMaxLineLength = 24;

// What the window's check boxes and address list ask of a line before it leaves.
struct LineOptions {
    bool rotateRight = false;
    bool lyra = false;         // with rotateRight: ":" in column 17
    bool removeColons = false;
    bool removePoints = false; // from column 5 on
    std::string address;       // empty: unaddressed
};

// The four digit pairs of the time move one pair to the right, the last pair to the front;
// column 4 becomes a blank. Works on fixed columns whatever they hold.
std::string RotateRight(std::string line, bool lyra);
std::string RemoveColons(std::string line);
std::string RemovePoints(std::string line);
std::string WithAddress(std::string line, std::string_view address);

// All of the above, in the order the window applies them.
std::string ApplyOptions(std::string line, const LineOptions& options);

struct MarqFields {
    char Address = ' ';
    std::int32_t StartNumber = 0;
    char Mode = ' ';
    std::int32_t Time = 0; // ten-thousandths of a second
    std::int32_t Place = -1;

    friend bool operator==(const MarqFields&, const MarqFields&) = default;
};

// Decodes a complete line (21 to 24 bytes, the last a carriage return). Never fails: columns
// that do not fit count as nothing, and columns beyond the line's end are treated as absent.
MarqFields DecodeDisplayLine(std::string_view line);

} // namespace protocol
