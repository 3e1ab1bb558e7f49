// A mebibyte written to the far end as fast as the line takes it: every byte reaches the capture
// file, and every decoder raises exactly the events that the same bytes give in one piece.
#include "os/linux/PseudoTerminal.h"
#include "support/PortsDirectory.h"
#include "support/Waiting.h"
#include "support/channel_support.h"

#include <QCryptographicHash>
#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

// Random noise with strings, display lines and backup lines of every accepted length mixed in,
// so that each decoder has thousands of items to find, many of them split between reads.
std::string TrafficSample(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    auto printable = [&](int count) {
        std::string s;
        for (int i = 0; i < count; ++i)
            s += static_cast<char>(pick(' ', 'z'));
        return s;
    };
    std::string data;
    while (data.size() < size) {
        switch (pick(0, 3)) {
        case 0:
            for (int n = pick(0, 40); n > 0; --n)
                data += static_cast<char>(pick(0, 255));
            break;
        case 1: data += printable(pick(20, 23)) + '\r'; break;
        case 2: data += printable(pick(26, 29)) + '\r'; break;
        default: data += printable(pick(2, 33)) + '\r'; break;
        }
    }
    data.resize(size);
    return data;
}

QByteArray Sha256(std::string_view bytes)
{
    return QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                    QCryptographicHash::Sha256);
}

struct Decoded {
    std::size_t strings = 0, marqs = 0, chrons = 0;
    std::string stringBytes, marqBytes, chronBytes;
};

Decoded Reference(std::string_view data)
{
    Decoded d;
    StringCollector strings;
    MarqLineCollector marqs;
    ChronLineCollector chrons;
    strings.Collect(data, [&](std::string& s) { ++d.strings; d.stringBytes += s; });
    marqs.Collect(data, [&](std::string_view l) { ++d.marqs; d.marqBytes += l; });
    chrons.Collect(data, [&](std::string_view l) { ++d.chrons; d.chronBytes += l; });
    return d;
}

TEST(NexComNothingLost, MebibyteThroughCaptureAndAllDecoders)
{
    constexpr std::size_t kSize = 1 << 20;
    constexpr std::int32_t kPacket = 7;
    const std::string data = TrafficSample(kSize, 2024);
    const Decoded expected = Reference(data);
    ASSERT_GT(expected.strings, 10000u);
    ASSERT_GT(expected.marqs, 5000u);
    ASSERT_GT(expected.chrons, 5000u);

    PseudoTerminal pty;
    ChannelTempFile capture;
    const PortsDirectory ports;
    BeepCountingChannel channel(ports.Names());
    Decoded got;
    std::string packets;
    std::size_t packetCount = 0;
    channel.SetOnStringReceived([&](QObject*, std::string& s) { ++got.strings; got.stringBytes += s; });
    channel.SetOnMarqReceived([&](QObject*, char, std::int32_t, char, std::int32_t, std::int32_t, const char* l) {
        ++got.marqs;
        got.marqBytes += l;
    });
    channel.SetOnChronBackupReceived([&](QObject*, char, std::int32_t, std::int32_t, char, std::int32_t, const char* l) {
        ++got.chrons;
        got.chronBytes += l;
    });
    channel.SetOnPacketReceived([&](QObject*, std::string& p) {
        EXPECT_EQ(p.size(), static_cast<std::size_t>(kPacket));
        ++packetCount;
        packets += p;
    });
    channel.SetPacketSize(kPacket);
    channel.SetDebugFile(capture.Path());
    channel.SetDeviceName(pty.SlavePath());
    channel.OpenPort();

    std::thread writer([&] { pty.Send(data); });
    const bool all = WaitUntil([&] { return packets.size() == kSize - kSize % kPacket; },
                               std::chrono::seconds(60));
    writer.join();
    ASSERT_TRUE(all) << packets.size() << " of " << kSize;
    // The last bytes that make no whole packet may need one more pass to reach the capture.
    ASSERT_TRUE(WaitUntil([&] { return capture.Contents().size() == kSize; }));
    channel.SetDebugFile("");

    EXPECT_EQ(Sha256(capture.Contents()), Sha256(data));
    EXPECT_EQ(packetCount, kSize / kPacket);
    EXPECT_TRUE(packets == data.substr(0, packets.size()));
    EXPECT_EQ(got.strings, expected.strings);
    EXPECT_EQ(got.marqs, expected.marqs);
    EXPECT_EQ(got.chrons, expected.chrons);
    EXPECT_TRUE(got.stringBytes == expected.stringBytes);
    EXPECT_TRUE(got.marqBytes == expected.marqBytes);
    EXPECT_TRUE(got.chronBytes == expected.chronBytes);
    EXPECT_EQ(channel.defaultBeeps, 0);
}

} // namespace
