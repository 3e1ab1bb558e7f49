#include "os/ComNames.h"

#include <charconv>

int ComNames::Number(std::string_view name)
{
    if (name.starts_with("\\\\.\\"))
        name.remove_prefix(4);
    return ComNumber(name);
}

int ComNames::ComNumber(std::string_view name)
{
    if (!name.starts_with("COM"))
        return 0;
    name.remove_prefix(3);
    int number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size() || name.starts_with('+'))
        return 0;
    return number >= 1 && number <= kLastNumber ? number : 0;
}
