#include "LineFormat.h"

#include "os/linux/TermiosRecord.h"

#include <cstdint>

namespace board {
namespace {

// The sender's line level in bit slot `slot`, idle (1) before and after the frames.
class BitStream {
public:
    BitStream(std::string_view bytes, const LineFormat& format)
        : bytes_(bytes), dataBits_(format.dataBits),
          frameBits_(1 + format.dataBits + format.stopBits)
    {
    }

    std::int64_t Slots() const { return static_cast<std::int64_t>(bytes_.size()) * frameBits_; }

    int Level(std::int64_t slot) const
    {
        if (slot < 0 || slot >= Slots())
            return 1;
        const auto byte = static_cast<unsigned char>(bytes_[static_cast<std::size_t>(slot / frameBits_)]);
        const int bit = static_cast<int>(slot % frameBits_);
        if (bit == 0)
            return 0;
        if (bit <= dataBits_)
            return (byte >> (bit - 1)) & 1;
        return 1;
    }

private:
    std::string_view bytes_;
    int dataBits_;
    int frameBits_;
};

} // namespace

LineFormat FormatOf(const termios& settings)
{
    return {SpeedBitsPerSecond(cfgetospeed(&settings)), DataBitsOf(settings), StopBitsOf(settings)};
}

std::string Resample(std::string_view bytes, const LineFormat& from, const LineFormat& to)
{
    if (from == to || from.baud == 0 || to.baud == 0)
        return std::string(bytes);

    // Time counts in units of 1 / (2 * from.baud * to.baud) s: a sender bit lasts 2 * to.baud
    // units, a receiver bit 2 * from.baud, and half a receiver bit from.baud, all whole numbers.
    const BitStream line(bytes, from);
    const std::int64_t sendBit = 2LL * to.baud;
    const std::int64_t receiveBit = 2LL * from.baud;
    const auto levelAt = [&](std::int64_t time) { return line.Level(time / sendBit); };

    std::string received;
    std::int64_t slot = 0; // the receiver waits for a falling edge from this sender slot on
    while (slot < line.Slots()) {
        if (!(line.Level(slot - 1) == 1 && line.Level(slot) == 0)) {
            ++slot;
            continue;
        }
        const std::int64_t start = slot * sendBit;
        if (levelAt(start + receiveBit / 2) != 0) { // a glitch, not a start bit
            ++slot;
            continue;
        }
        int value = 0;
        for (int bit = 0; bit < to.dataBits; ++bit)
            value |= levelAt(start + receiveBit / 2 + (bit + 1) * receiveBit) << bit;
        received.push_back(static_cast<char>(value));
        // The receiver looks for the next start bit after the middle of its stop bit, whether
        // or not the line was high there (a framing error still delivers the byte).
        const std::int64_t stopMiddle = start + receiveBit / 2 + (to.dataBits + 1) * receiveBit;
        slot = stopMiddle / sendBit + 1;
    }
    return received;
}

} // namespace board
