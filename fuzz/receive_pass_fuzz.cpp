// The receive collectors fed one input cut into arbitrary chunks: whatever the cut, they must
// deliver exactly what they deliver for the input in one piece, and never read or write outside
// their buffers.
#include "protocol/DisplayLine.h"
#include "serial/ReceiveDecoders.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Deliveries {
    std::vector<std::string> strings, chron, marq, packets;
    bool operator==(const Deliveries&) const = default;
};

struct Collectors {
    StringCollector strings;
    ChronLineCollector chron;
    MarqLineCollector marq;
    PacketCutter packets;
    Deliveries out;

    explicit Collectors(std::int32_t packetSize) { packets.SetPacketSize(packetSize); }

    void Pass(std::string_view chunk)
    {
        strings.Collect(chunk, [&](const std::string& s) { out.strings.push_back(s); });
        chron.Collect(chunk, [&](std::string_view line) {
            if (line.size() < 27 || line.size() > 30 || line.back() != '\r' || line.data()[line.size()] != 0)
                std::abort();
            DecodeChronBackupLine(line);
            out.chron.emplace_back(line);
        });
        marq.Collect(chunk, [&](std::string_view line) {
            if (line.size() < 21 || line.size() > 24 || line.back() != '\r' || line.data()[line.size()] != 0)
                std::abort();
            protocol::DecodeDisplayLine(line);
            out.marq.emplace_back(line);
        });
        packets.Cut(chunk, [&](const std::string& p) { out.packets.push_back(p); });
    }
};

} // namespace

// Input: one byte of packet size (signed, so negative sizes are tried too), one byte that seeds
// the chunk lengths, then the received bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const auto packetSize = static_cast<std::int32_t>(static_cast<std::int8_t>(data[0]));
    unsigned seed = data[1];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    Collectors whole(packetSize);
    whole.Pass(bytes);

    Collectors chunked(packetSize);
    for (std::size_t at = 0; at < bytes.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t length = (seed >> 16) % 40; // empty chunks included
        const std::string_view chunk = bytes.substr(at, length);
        chunked.Pass(chunk);
        at += chunk.size();
    }
    // Without a packet size every chunk is its own packet: only the bytes must agree then.
    if (packetSize <= 0) {
        std::string a, b;
        for (const auto& p : whole.out.packets) a += p;
        for (const auto& p : chunked.out.packets) b += p;
        if (a != b || a != bytes)
            std::abort();
        whole.out.packets.clear();
        chunked.out.packets.clear();
    }
    if (!(whole.out == chunked.out) || whole.strings.Count() != chunked.strings.Count() ||
        whole.marq.Count() != chunked.marq.Count() || whole.chron.Count() != chunked.chron.Count() ||
        whole.packets.Pending() != chunked.packets.Pending())
        std::abort();
    return 0;
}
