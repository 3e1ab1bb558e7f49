#pragma once
// The four ways the serial channel reads what arrives on its port: strings ended by a carriage
// return, Chron timer backup lines, display lines and fixed-size packets. Each keeps its partial
// input between chunks, so a line may arrive split over any number of reads.
//
// Every collector hands a finished item to its `deliver` callable only after it has reset its own
// state and copied the item out. A handler may therefore run a nested event loop in which another
// receive pass feeds the same collector: that pass starts clean, and the item the handler holds
// stays intact until it returns.
//
// A `deliver` that returns bool decides whether the collector goes on: false says that the
// collector itself is gone (a handler destroyed its owner), and it returns at once without
// touching any of its own state.

// The channel is a display board's channel: its display-line decoder reads the board's own line
// layout, which is why it includes it from protocol/.
#include "protocol/DisplayLine.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace decoders {

// Hands an item over; false when the collector must stop at once.
template <typename Deliver, typename Item>
bool HandOver(Deliver& deliver, Item&& item)
{
    if constexpr (std::is_same_v<std::invoke_result_t<Deliver&, Item>, bool>) {
        return deliver(std::forward<Item>(item));
    } else {
        deliver(std::forward<Item>(item));
        return true;
    }
}

} // namespace decoders

// Collects a run of bytes that ends in a carriage return and is at least 3 bytes and less than
// MaxStringLength bytes long. Codes below 13 and above 'z' and over-long runs start it afresh; a
// carriage return that comes too early stays in the string.
class StringCollector {
public:
    static constexpr std::int32_t MaxStringLength = 35;

    // Between deliveries the count lives in a local and the chunk's bytes are appended to the
    // buffer in runs, with resets chosen without branches: random input then costs no
    // mispredictions. Both are up to date before a handler can see them.
    template <typename Deliver>
    void Collect(std::string_view chunk, Deliver&& deliver)
    {
        std::int32_t count = count_;
        std::size_t from = 0;  // chunk bytes before this are in buffer_ or dropped
        bool dropped = false;  // a reset in this chunk has emptied the string
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            const auto b = static_cast<unsigned char>(chunk[i]);
            ++count;
            if (b == kCR && count > 2 && count < MaxStringLength) {
                if (dropped)
                    buffer_.clear();
                buffer_.append(chunk.substr(from, i + 1 - from));
                std::string done = std::move(buffer_);
                Restart();
                if (!decoders::HandOver(deliver, done))
                    return;
                count = count_; // a nested pass may have collected meanwhile
                from = i + 1;
                dropped = false;
                continue;
            }
            const bool reset = (count >= MaxStringLength) | (b > kLast) | (b < kCR);
            count = reset ? 0 : count;
            from = reset ? i + 1 : from;
            dropped |= reset;
        }
        if (dropped)
            buffer_.clear();
        buffer_.append(chunk.substr(from));
        count_ = count;
    }

    std::int32_t Count() const { return count_; }

private:
    static constexpr unsigned char kCR = 13;
    static constexpr unsigned char kLast = 'z';

    void Restart()
    {
        buffer_.clear();
        count_ = 0;
    }

    std::string buffer_;
    std::int32_t count_ = 0;
};

// Collects a fixed-column line of MinLength to MaxLength bytes whose last byte is a carriage
// return, every other byte from blank to 'z'. Anything else, or a line that reaches Capacity
// bytes, drops the partial line together with the offending byte. Works in fixed storage.
template <std::size_t Capacity, std::int32_t MinLength, std::int32_t MaxLength>
class LineCollector {
    static_assert(MaxLength < static_cast<std::int32_t>(Capacity), "room for the closing zero");

public:
    // `deliver` receives the line, carriage return included; its data() is followed by a zero
    // byte and stays valid while `deliver` runs.
    template <typename Deliver>
    void Collect(std::string_view chunk, Deliver&& deliver)
    {
        std::int32_t count = count_; // in a register between deliveries
        char* const line = line_.data();
        for (const unsigned char b : chunk) {
            line[count++] = static_cast<char>(b);
            if (b == kCR && count >= MinLength && count <= MaxLength) {
                std::array<char, Capacity> done;
                const auto length = static_cast<std::size_t>(count);
                std::memcpy(done.data(), line_.data(), length);
                done[length] = 0;
                Restart();
                if (!decoders::HandOver(deliver, std::string_view(done.data(), length)))
                    return;
                count = count_; // a nested pass may have collected meanwhile
                continue;
            }
            // Without a branch: on random input it would be a coin toss.
            const bool keep = (static_cast<unsigned char>(b - kBlank) <= kLast - kBlank) &
                              (count < static_cast<std::int32_t>(Capacity));
            count &= -static_cast<std::int32_t>(keep);
        }
        count_ = count;
    }

    std::int32_t Count() const { return count_; }

private:
    static constexpr unsigned char kCR = 13;
    static constexpr unsigned char kBlank = ' ';
    static constexpr unsigned char kLast = 'z';

    void Restart()
    {
        count_ = 0;
        line_[0] = 0;
    }

    std::array<char, Capacity> line_{};
    std::int32_t count_ = 0;
};

// A display line, with room for the zero after it.
using MarqLineCollector = LineCollector<protocol::kMaxLineLength + 1,
                                        static_cast<std::int32_t>(protocol::kMinLineLength),
                                        static_cast<std::int32_t>(protocol::kMaxLineLength)>;
using ChronLineCollector = LineCollector<31, 27, 30>;

// The fields of a Chron timer backup line. Time is in ten-thousandths of a second.
struct ChronFields {
    char Info = ' ';
    std::int32_t StartNumber = 0;
    std::int32_t Channel = 0;
    char Mode = ' ';
    std::int32_t Time = 0;

    friend bool operator==(const ChronFields&, const ChronFields&) = default;
};

// Decodes a complete backup line (27 to 30 bytes, the last a carriage return). Every column is
// taken as its code minus '0' whatever it holds, so a blank counts -16; the time wraps like a
// 32-bit register rather than overflowing.
ChronFields DecodeChronBackupLine(std::string_view line);

// Cuts the received bytes into packets of PacketSize bytes. With a size of 0 or less every
// non-empty chunk is one packet and nothing is kept back.
class PacketCutter {
public:
    std::int32_t PacketSize() const { return size_; }
    void SetPacketSize(std::int32_t size) { size_ = size; }

    // Bytes held back for the next chunk.
    std::size_t Pending() const { return pending_.size() - start_; }

    // The size is read again after every packet, so a handler that changes it cuts the rest by
    // the new size. A packet leaves the buffer before it is delivered.
    template <typename Deliver>
    void Cut(std::string_view chunk, Deliver&& deliver)
    {
        if (size_ <= 0) {
            if (!chunk.empty()) {
                std::string packet(chunk);
                decoders::HandOver(deliver, packet);
            }
            return;
        }
        pending_.append(chunk);
        while (size_ > 0 && Pending() >= static_cast<std::size_t>(size_)) {
            std::string packet = pending_.substr(start_, static_cast<std::size_t>(size_));
            start_ += packet.size();
            if (!decoders::HandOver(deliver, packet))
                return;
        }
        pending_.erase(0, start_);
        start_ = 0;
    }

private:
    std::string pending_;
    std::size_t start_ = 0; // delivered bytes at the front of pending_, removed after the loop
    std::int32_t size_ = 0;
};
