#include "net/UdpEndpoint.h"

#include <charconv>

std::optional<UdpEndpoint> SplitEndpoint(std::string_view text)
{
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    const std::string_view digits = text.substr(colon + 1);
    int port = -1;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || port < 0 ||
        port > 65535)
        return std::nullopt;
    return UdpEndpoint{std::string(text.substr(0, colon)), port};
}
