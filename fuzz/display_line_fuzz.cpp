// Any bytes, decoded as a display line: the fields must stay within their ranges and no byte
// outside the input may be read.
#include "protocol/DisplayLine.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const protocol::MarqFields f =
        protocol::DecodeDisplayLine(std::string_view(reinterpret_cast<const char*>(data), size));
    if (f.StartNumber < 0 || f.StartNumber > 999 || f.Time < 0 || f.Time > 1079999990 ||
        f.Place < -1 || f.Place > 99)
        std::abort();
    // The options never change a line's length except by the address prefix.
    protocol::LineOptions options;
    options.rotateRight = size % 2;
    options.lyra = size % 3 == 0;
    options.removeColons = options.removePoints = true;
    const std::string line(reinterpret_cast<const char*>(data), size);
    if (protocol::ApplyOptions(line, options).size() != size)
        std::abort();
    return 0;
}
