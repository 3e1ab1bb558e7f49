#include "protocol/TextList.h"

namespace protocol {

std::string JoinList(const std::vector<std::string>& items, std::string_view last)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? last : std::string_view(", ");
        text += items[i];
    }
    return text;
}

} // namespace protocol
