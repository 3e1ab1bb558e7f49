#pragma once
// The write in progress of an open port. A write copies its bytes, hands them to the kernel as
// it takes them (the rest from the event loop, as room appears) and is complete once they are
// off the line: when the device's output queue (TIOCOUTQ) has drained to what was queued when
// the write began, its baseline, normally 0, and the bytes have had their time on the line
// after those ahead of them, at the device's real rate and frame. That time counts because a
// USB adapter takes bytes into its own buffer and most cannot say when they have left it (only
// ftdi_sio answers TIOCSERGETLSR): new line settings wait for it too, so that they never
// re-frame a line's tail. A device whose queue cannot be read completes a write after that time
// alone; a pseudo-terminal has no line, and completes it as soon as the kernel has taken it.
//
// Waiting never spins: while bytes wait for room in the kernel, poll says when there is some;
// while they drain, the wait sleeps (on a line, watching it for a hang-up) as long as the bytes
// still queued need on the line, a tenth of a second at most, then looks again. No write waits without bound, not even without
// time-outs: a line that flow control holds for good would freeze its caller.
//
// A write that misses its deadline never leaves a cut line nor a backlog: while none of its bytes
// has left, it is thrown away whole; once some have, or where the flush throws nothing away
// (usb-serial and cdc_acm have no flush), its rest finishes, and writes that come meanwhile are
// not made at all. Either way the next write reports "Timeout", and no line is made while one
// that timed out is still queued.
//
// A device whose queue can no longer be read (EIO, ENXIO, ENODEV) has gone away: the write
// in progress fails with EIO rather than ending as a success. So does one whose line hangs up
// before its bytes can have left, and one whose queue empties faster than the line and an
// adapter's buffer could take it and that hangs up soon after: a USB adapter pulled out throws
// its queue away before the kernel hangs its line up.

#include "serial/WireTime.h"

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class ComDevice;
class QSocketNotifier;
class QTimer;

class PortWriter : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    explicit PortWriter(QObject* parent = nullptr);
    ~PortWriter() override;

    // The device writes go to from now on, or none; either way the write in progress is
    // forgotten.
    void Attach(std::shared_ptr<ComDevice> device);
    void Detach() { Attach(nullptr); }
    // The rate and frame the device really runs at.
    void SetWireTime(const WireTime& wire) { wire_ = wire; }

    // Called when a write's bytes are all with the kernel, or the rest has been given up: when
    // the output queue should have drained, and how long one byte takes on the line.
    std::function<void(Clock::time_point drainedBy, std::chrono::nanoseconds perByte)>
        onHandedOver;

    // Starts a write of a copy of the bytes; the previous one must have ended (Wait). The
    // allowance is multiplierMs per byte plus constantMs; 0 means the bytes' time on the line
    // plus a second. Returns 0, or the errno of a write the kernel refused or of a device that
    // has gone (that write has ended).
    int Start(std::string_view bytes, int multiplierMs, int constantMs);

    struct Outcome {
        int error = 0;             // errno of a failed call since the last Wait, or 0
        const char* operation = ""; // that call
        bool timedOut = false;      // a write ended short since the last Wait
    };
    // Waits until the write in progress has ended; returns what became of the writes since the
    // last Wait and forgets it. While the rest of a write that ended short is still queued, it
    // says timed out again: the caller's next write is not to be made.
    Outcome Wait();
    // Before new line settings: waits as Wait does, for the rest of a write that ended short
    // (bounded as Finish is; what is left then is thrown away) and for the transmitter to send
    // its last byte, but keeps what became of the writes for the next Wait.
    void Settle();
    // Forgets the write in progress and what there was to report (the queue is the caller's).
    void Forget();
    // Before the device is let go: hands over the rest of the write in progress and waits for
    // the kernel's queue to drain, as long as that takes on the line plus a small allowance but
    // never more than a second, and not at all once the queue has stopped going down; then
    // forgets the write. Whatever is left is the caller's.
    void Finish();

private:
    enum class Phase { Idle, HandingOver, Draining };

    void Push();
    void HandedOver();
    void End(Phase next);
    void Fail(int error, const char* operation);
    // Ends a write that missed its deadline short: throws it away whole while none of its bytes
    // has left and the driver can, else lets its rest finish.
    void GiveUp();
    // A flush threw the line away: only what the transmitter holds still takes the line.
    void ThrownAway();
    // Whether the rest of a write that ended short is still queued.
    bool RestQueued();
    // `above` bytes were queued ahead at `at`: the line is not free before they have left. Only
    // a count of bytes says so: one beyond what can be queued (cdc_acm's whole transfer
    // buffers, see Held) is not passed on.
    void Saw(long long above, Clock::time_point at);
    // Waits until `until` (on a device with a line, watching it): false, and the write has
    // failed, when the line hangs up meanwhile.
    bool Watch(Clock::time_point until);
    // Waits until the queue is down to `floor`, until `by` at the latest and no longer once it
    // has stopped going down. True once it is down.
    bool DrainTo(int floor, Clock::time_point by);
    // The queue fell from `before` to `now` in `elapsed`: more than the line carries in that
    // time means it was thrown away, so waits a little for the hang-up that follows an unplug.
    // False (the write has failed) when it comes.
    bool Carried(long long before, long long now, std::chrono::nanoseconds elapsed);
    // Watches the line until `until`: true, and the write has failed, when it hangs up meanwhile.
    bool HangsUpBy(Clock::time_point until);
    // TIOCOUTQ counts the kernel's queue only: waits, until `by` at the latest, for the bytes
    // handed over to have had their time on the line, and for the UART's FIFO and shift register
    // to send their last bytes, where the driver tells.
    void AwaitLine(Clock::time_point by);
    // TIOCSERGETLSR: whether the transmitter has sent its last byte; nothing where the driver
    // cannot tell.
    std::optional<bool> TransmitterEmpty();
    // Bytes queued above the baseline; ends the write when there are none or its time is up.
    long long Look();
    // What of a queue the device reports can really be queued: no more than the baseline and
    // what this write handed over. cdc_acm counts every transfer buffer in flight as full
    // (1280 bytes at full speed) until the USB transfer completes; taken at its word, a line
    // would seem to take a second to drain, and its sudden end to be an unplug.
    long long Held(int queued) const;
    // The device's output queue; nothing when it cannot tell, or when it has gone (the write
    // has then failed).
    std::optional<int> Queued();

    std::shared_ptr<ComDevice> device_;
    WireTime wire_;
    bool reportsQueue_ = true;
    bool reportsTransmitter_ = true;
    bool hasLine_ = false; // not a pseudo-terminal, and its rate is known
    // The soonest the bytes handed over can all have left the line.
    Clock::time_point lineFreeAt_{};

    Phase phase_ = Phase::Idle;
    std::vector<char> copy_;
    std::size_t handed_ = 0;
    std::optional<int> baseline_;
    std::optional<int> lastQueued_; // what the look that ended the last write found
    std::optional<Clock::time_point> handOverBy_;
    std::optional<Clock::time_point> onLineBy_;
    Clock::time_point drainedBy_{}; // when a draining write's bytes should be on the line
    // The queue at the last look at a draining write, and when.
    long long lookedQueue_ = 0;
    Clock::time_point lookedAt_{};
    // A write that ended short left bytes queued: they are on their way until the queue is down
    // to this.
    std::optional<int> restAbove_;
    long long restHeld_ = 0; // what that rest can really hold of the queue (see Held)
    Outcome outcome_;

    std::unique_ptr<QSocketNotifier> room_;
    QTimer* handOverTimer_;
};
