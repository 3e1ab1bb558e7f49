#pragma once
// A list as running text names it: "a, b or c".

#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// The items separated by ", ", with `last` before the final one instead.
std::string JoinList(const std::vector<std::string>& items, std::string_view last = " or ");

} // namespace protocol
