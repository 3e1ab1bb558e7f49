#include "DisplayLine.h"

#include "Addresses.h"

#include <algorithm>

namespace protocol {
namespace {

// 1-based column access that never leaves the line: absent columns read as 0.
unsigned char Column(std::string_view line, std::size_t column)
{
    return column >= 1 && column <= line.size() ? static_cast<unsigned char>(line[column - 1]) : 0;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
int Digit(unsigned char c) { return IsDigit(c) ? c - '0' : 0; }

// A digit within '0'..maxDigit, weighted; anything else adds nothing.
std::int32_t Weighted(unsigned char c, char maxDigit, std::int32_t weight)
{
    return c >= '0' && c <= static_cast<unsigned char>(maxDigit) ? (c - '0') * weight : 0;
}

} // namespace

std::string RotateRight(std::string line, bool lyra)
{
    if (line.size() < 19)
        return line;
    auto at = [&line](std::size_t column) -> char& { return line[column - 1]; };
    const char tenths = at(18);
    const char hundredths = at(19);
    at(19) = at(16);
    at(18) = at(15);
    at(16) = at(13);
    at(15) = at(12);
    at(13) = at(10);
    at(12) = at(9);
    at(9) = tenths;
    at(10) = hundredths;
    if (lyra)
        at(17) = ':';
    at(4) = ' ';
    return line;
}

std::string RemoveColons(std::string line)
{
    std::replace(line.begin(), line.end(), ':', ' ');
    return line;
}

std::string RemovePoints(std::string line)
{
    if (line.size() > 4)
        std::replace(line.begin() + 4, line.end(), '.', ' ');
    return line;
}

std::string WithAddress(std::string line, std::string_view address)
{
    return std::string(address) + line;
}

std::string ApplyOptions(std::string line, const LineOptions& options)
{
    if (options.rotateRight)
        line = RotateRight(std::move(line), options.lyra);
    if (options.removeColons)
        line = RemoveColons(std::move(line));
    if (options.removePoints)
        line = RemovePoints(std::move(line));
    if (!options.address.empty())
        line = WithAddress(std::move(line), options.address);
    return line;
}

MarqFields DecodeDisplayLine(std::string_view line)
{
    const std::size_t n = line.size();
    MarqFields f;

    const unsigned char first = Column(line, 1);
    const unsigned char c18 = Column(line, 18);
    const std::size_t k = (IsDecodedAddress(first) && (c18 == '.' || c18 == ' ')) ? 1 : 0;
    if (k)
        f.Address = static_cast<char>(first);
    auto col = [&](std::size_t c) { return Column(line, c + k); };

    f.StartNumber = 100 * Digit(col(1)) + 10 * Digit(col(2)) + Digit(col(3));
    f.Mode = static_cast<char>(col(4));
    f.Time = Weighted(col(9), '2', 360000000) + Weighted(col(10), '9', 36000000) +
             Weighted(col(12), '5', 6000000) + Weighted(col(13), '9', 600000) +
             Weighted(col(15), '5', 100000) + Weighted(col(16), '9', 10000) +
             Weighted(col(18), '9', 1000) + Weighted(col(19), '9', 100) +
             Weighted(col(20), '9', 10);

    if (k == 0) {
        if (n == 23 || n == 24) {
            f.Place = IsDigit(col(22)) ? 10 * Digit(col(21)) + Digit(col(22)) : -1;
        } else if (n == 22) {
            f.Place = IsDigit(col(21)) ? Digit(col(21)) : -1;
        }
    } else if (n == 24) {
        // A non-digit units column leaves the tens standing: two blanks give 0.
        f.Place = 10 * Digit(col(21)) + (IsDigit(col(22)) ? Digit(col(22)) : 0);
    }
    return f;
}

} // namespace protocol
