#include "protocol/LoopbackPattern.h"

#include "protocol/DisplayLine.h"

#include <algorithm>
#include <cstdint>

namespace protocol {

std::vector<std::string> LoopbackPieces(int dataBits)
{
    constexpr int kRun = 16;
    std::vector<std::string> pieces;
    const int values = 1 << std::clamp(dataBits, 5, 8);
    for (int first = 0; first < values; first += kRun) {
        std::string piece;
        for (int value = first; value < std::min(values, first + kRun); ++value)
            piece += static_cast<char>(value);
        pieces.push_back(std::move(piece));
    }
    pieces.emplace_back(kAllDigits);
    pieces.emplace_back(kBlank);
    pieces.emplace_back(" 42     12:34:56.78901\r");
    return pieces;
}

LoopbackCount CompareLoopback(std::string_view sent, std::string_view received)
{
    // Edit distance, every change costing one: a changed byte, a lost one or an extra one.
    const std::size_t rows = sent.size() + 1;
    const std::size_t columns = received.size() + 1;
    std::vector<std::uint32_t> cost(rows * columns);
    const auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return cost[i * columns + j]; };
    for (std::size_t i = 0; i < rows; ++i)
        at(i, 0) = static_cast<std::uint32_t>(i);
    for (std::size_t j = 0; j < columns; ++j)
        at(0, j) = static_cast<std::uint32_t>(j);
    for (std::size_t i = 1; i < rows; ++i) {
        for (std::size_t j = 1; j < columns; ++j) {
            const std::uint32_t same = sent[i - 1] == received[j - 1] ? 0 : 1;
            at(i, j) = std::min({at(i - 1, j - 1) + same, at(i - 1, j) + 1, at(i, j - 1) + 1});
        }
    }
    LoopbackCount count;
    count.sent = sent.size();
    std::size_t i = sent.size();
    std::size_t j = received.size();
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0 && at(i, j) == at(i - 1, j - 1) + (sent[i - 1] == received[j - 1] ? 0 : 1)) {
            ++(sent[i - 1] == received[j - 1] ? count.intact : count.changed);
            --i;
            --j;
        } else if (i > 0 && at(i, j) == at(i - 1, j) + 1) {
            ++count.missing;
            --i;
        } else {
            ++count.changed;
            --j;
        }
    }
    return count;
}

} // namespace protocol
