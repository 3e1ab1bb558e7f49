#include "app/LoopbackCheck.h"

#include "protocol/LineFormats.h"
#include "protocol/LineTiming.h"
#include "serial/NexCom.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// How long the first byte of a piece may take to come back beyond its time on the line: USB
// adapters hold received bytes for their latency timer (16 ms by default, up to 255 ms), so
// this is generous. The first piece waits longer; when nothing of it comes back the check ends
// there, well within 2 s.
constexpr double kFirstByteMs = 400;
constexpr double kFirstPieceMs = 1000;
// A piece whose bytes stopped coming is over after this much silence (plus the latency timer).
constexpr double kSilenceMs = 100;
// The longest the check waits for a line that goes on bringing bytes before it begins.
constexpr qint64 kLongestSettleMs = 500;
// What came back beyond this many times the pattern is noise, not worth lining up.
constexpr std::size_t kMostReceivedPerSent = 4;

std::string Figure(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, ms < 1 ? "%.2f ms" : "%.1f ms", ms);
    return text;
}

} // namespace

std::vector<std::string> LoopbackReport(const LoopbackResult& r)
{
    std::vector<std::string> lines;
    lines.push_back("Loopback check on " + r.port + " at " + r.format);
    std::string adapter = "Adapter: " + r.adapter.device;
    if (!r.adapter.driver.empty())
        adapter += ", driver " + r.adapter.driver;
    if (r.adapter.latencyTimerMs)
        adapter += ", latency timer " + std::to_string(*r.adapter.latencyTimerMs) + " ms";
    lines.push_back(adapter);
    lines.push_back("Bytes sent: " + std::to_string(r.count.sent) + ", back intact: " + std::to_string(r.count.intact) +
                    ", changed: " + std::to_string(r.count.changed) + ", missing: " + std::to_string(r.count.missing));
    if (!r.roundTripsMs.empty()) {
        std::vector<double> trips = r.roundTripsMs;
        const double median = protocol::Percentile(trips, 0.5);
        lines.push_back("Round trip: " + Figure(median) + " median, " + Figure(trips.back()) + " worst");
    }
    if (!r.error.empty()) {
        lines.push_back("The port failed: " + r.error);
        lines.push_back("Next step: check that the adapter is plugged in and no other program holds it");
        return lines;
    }
    if (r.Passed()) {
        lines.push_back("Everything came back intact: the PC, the adapter and the cable up to the jumper work; "
                        "if the board stays dark, look at the board and its line settings");
        return lines;
    }
    if (r.NothingBack()) {
        lines.push_back("Nothing came back");
        lines.push_back("Next step: fit a jumper between TX and RX at the far end and run it again; if it still "
                        "fails, the adapter or its cable");
        return lines;
    }
    if (r.count.changed > 0) {
        lines.push_back("Bytes changed on the way");
        lines.push_back("Next step: a rate or frame mismatch, or noise: check the rate and Kappa Mode of "
                        "everything on the line, then the cable's length and screening");
    }
    if (r.count.missing > 0) {
        lines.push_back("Bytes missing");
        lines.push_back("Next step: flow control or a failing adapter: check that nothing holds the line "
                        "(handshake lines, a second program), then try another adapter");
    }
    return lines;
}

LoopbackCheck::LoopbackCheck(TNexComThread& channel, std::string port, QObject* parent)
    : QObject(parent), channel_(channel), alive_(&channel)
{
    result_.port = std::move(port);
    const bool kappa = channel.DataBits() == db7;
    result_.format = protocol::LineFormat{channel.Baud(), kappa}.Name();
    pieces_ = protocol::LoopbackPieces(kappa ? 7 : 8);
    quiet_.setSingleShot(true);
    quiet_.setTimerType(Qt::PreciseTimer);
    connect(&quiet_, &QTimer::timeout, this, &LoopbackCheck::Quiet);
}

LoopbackCheck::~LoopbackCheck()
{
    // The channel may have gone first (its window closing during a check).
    if (!finished_ && alive_)
        alive_->SetOnPacketReceived(nullptr);
}

double LoopbackCheck::CharacterMs() const
{
    const int frame = channel_.DataBits() == db7 ? protocol::FrameBits(7, false, 2) : protocol::FrameBits(8, false, 1);
    return protocol::LineMs(1, std::max(channel_.Baud(), 1), frame);
}

void LoopbackCheck::Start()
{
    result_.adapter = ReadAdapterFacts(channel_.Names(), result_.port);
    channel_.SetPacketSize(0);
    channel_.SetOnPacketReceived([this](QObject*, std::string& bytes) { Received(bytes); });
    // What the port sent before (a test's last line) may still be on its way back: the check
    // begins once the line has been quiet for a while, and what came until then is not its
    // answer.
    try {
        channel_.Write(nullptr, 0, true);
        channel_.ReadString();
    } catch (const std::exception&) {
        result_.error = channel_.LastError();
    }
    settling_ = true;
    pieceClock_.start();
    quiet_.start(static_cast<int>(std::ceil(kSilenceMs + result_.adapter.latencyTimerMs.value_or(0))));
}

void LoopbackCheck::SendNext()
{
    if (finished_)
        return;
    if (!result_.error.empty() || next_ == pieces_.size()) {
        Finish();
        return;
    }
    const std::string& piece = pieces_[next_];
    const double lineMs = CharacterMs() * static_cast<double>(piece.size());
    const double wait = lineMs + (next_ == 0 ? kFirstPieceMs : kFirstByteMs);
    ++next_;
    pieceExpected_ = piece.size();
    pieceReceived_ = 0;
    try {
        channel_.SendText(piece);
    } catch (const std::exception&) {
        result_.error = channel_.LastError();
        Finish();
        return;
    }
    sent_ += piece;
    pieceClock_.start();
    quiet_.start(static_cast<int>(std::ceil(wait)));
}

void LoopbackCheck::Received(const std::string& bytes)
{
    if (finished_ || bytes.empty())
        return;
    if (settling_) {
        // Not quiet yet; a line that never is (noise) gets the pattern after a while anyway.
        if (pieceClock_.elapsed() < kLongestSettleMs)
            quiet_.start();
        return;
    }
    if (pieceReceived_ == 0 && pieceExpected_ > 0)
        result_.roundTripsMs.push_back(static_cast<double>(pieceClock_.nsecsElapsed()) / 1e6);
    if (received_.size() < kMostReceivedPerSent * sent_.size() + bytes.size())
        received_ += bytes;
    pieceReceived_ += bytes.size();
    if (pieceReceived_ >= pieceExpected_) {
        quiet_.stop();
        // On the next turn of the event loop: the channel is still delivering this chunk.
        QTimer::singleShot(0, this, &LoopbackCheck::SendNext);
        pieceExpected_ = 0;
        return;
    }
    const double silence = kSilenceMs + 4 * CharacterMs() + result_.adapter.latencyTimerMs.value_or(0);
    quiet_.start(static_cast<int>(std::ceil(silence)));
}

void LoopbackCheck::Quiet()
{
    if (std::exchange(settling_, false)) {
        SendNext();
        return;
    }
    pieceExpected_ = 0;
    if (received_.empty()) {
        Finish(); // the first piece found no jumper: the rest would not come back either
        return;
    }
    SendNext();
}

void LoopbackCheck::Finish()
{
    if (std::exchange(finished_, true))
        return;
    quiet_.stop();
    channel_.SetOnPacketReceived(nullptr);
    result_.count = protocol::CompareLoopback(sent_, received_);
    emit Finished();
}
