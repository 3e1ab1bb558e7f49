#include "serial/linux/PortWriter.h"

#include "serial/linux/ComDevice.h"
#include "serial/linux/LinuxSystem.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/ioctl.h>

using namespace std::chrono_literals;

namespace {

// Sleeps until the moment on the monotonic clock, however often a signal interrupts.
void SleepUntil(std::chrono::steady_clock::time_point until)
{
    const auto since = until.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const timespec at{static_cast<time_t>(seconds.count()),
                      static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// A write copy up to this size is kept for the next write rather than freed.
constexpr std::size_t kKeptCopy = 4096;

// Without time-outs a write still ends short this long after its bytes' own time on the line.
constexpr std::chrono::milliseconds kStalledLine{1000};
// What a close gives the queue on top of its time on the line, and the longest it waits.
constexpr std::chrono::milliseconds kCloseAllowance{100};
constexpr std::chrono::milliseconds kLongestClose{1000};
// The most a UART holds beyond the kernel's queue (a 16750's FIFO).
constexpr long long kLargestFifo = 64;
// What a USB adapter may take from the kernel's queue at once, into its own buffer and the
// transfers in flight, beyond what the line carries meanwhile.
constexpr long long kAdapterBuffer = 512;
// How long a queue that emptied too fast is given to turn out to be an unplug.
constexpr std::chrono::milliseconds kHangUpWait{250};
// The longest a draining write sleeps between looks at the queue: often enough to tell a
// queue thrown away from one that went out on the line.
constexpr std::chrono::milliseconds kLookEvery{100};

int MillisecondsUntil(std::chrono::steady_clock::time_point until)
{
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

} // namespace

PortWriter::PortWriter(QObject* parent) : QObject(parent), handOverTimer_(new QTimer(this))
{
    handOverTimer_->setSingleShot(true);
    handOverTimer_->setTimerType(Qt::PreciseTimer);
    connect(handOverTimer_, &QTimer::timeout, this, [this] {
        Push();
        if (phase_ == Phase::HandingOver)
            GiveUp();
        if (phase_ == Phase::HandingOver)
            HandedOver();
    });
}

PortWriter::~PortWriter() = default;

void PortWriter::Attach(std::shared_ptr<ComDevice> device)
{
    Forget();
    room_.reset();
    device_ = std::move(device);
    reportsQueue_ = true;
    reportsTransmitter_ = true;
    hasLine_ = false;
    lineFreeAt_ = {};
}

void PortWriter::Forget()
{
    End(Phase::Idle);
    outcome_ = {};
    lastQueued_.reset();
    restAbove_.reset();
}

void PortWriter::End(Phase next)
{
    phase_ = next;
    if (next == Phase::HandingOver)
        return;
    copy_.clear();
    if (copy_.capacity() > kKeptCopy)
        copy_.shrink_to_fit();
    if (room_)
        room_->setEnabled(false);
    handOverTimer_->stop();
}

void PortWriter::Fail(int error, const char* operation)
{
    outcome_.error = error;
    outcome_.operation = operation;
    End(Phase::Idle);
}

void PortWriter::GiveUp()
{
    outcome_.timedOut = true;
    if (handed_ == 0)
        return;
    std::optional<int> queued = Queued();
    if (outcome_.error)
        return;
    const int floor = baseline_.value_or(0);
    // Still all queued, behind nothing older: thrown away, the line is dropped whole. Once part
    // of it has left, throwing away the rest would leave the far end a piece of a line instead.
    // A device that cannot tell has it thrown away: nothing may build up behind it.
    if (!queued || (floor == 0 && *queued >= static_cast<long long>(handed_))) {
        device_->System().Flush(device_->Fd(), TCOFLUSH);
        // usb-serial (ftdi_sio, cp210x, ch341, pl2303) and cdc_acm throw away nothing on a
        // flush, and only closing the device would kill their transfers. Rather than close and
        // reopen under the user's feet, the line is let go out as it is, as one that has started
        // would be: no later write is made until it has left.
        queued = Queued();
        if (outcome_.error)
            return;
        if (!queued || *queued <= floor) {
            ThrownAway();
            return;
        }
    }
    restAbove_ = floor;
    restHeld_ = Held(*queued);
}

void PortWriter::ThrownAway()
{
    if (!hasLine_)
        return;
    // Only what the transmitter holds still goes out.
    const std::optional<bool> empty = TransmitterEmpty();
    if (empty == true)
        lineFreeAt_ = Clock::now();
    else if (empty == false)
        lineFreeAt_ = std::min(lineFreeAt_, Clock::now() + wire_.Of(kLargestFifo));
}

bool PortWriter::RestQueued()
{
    if (!restAbove_ || !device_)
        return false;
    const std::optional<int> queued = Queued();
    if (queued && *queued > *restAbove_) {
        if (*queued <= restHeld_)
            Saw(*queued - *restAbove_, Clock::now());
        return true;
    }
    restAbove_.reset();
    lastQueued_ = queued;
    return false;
}

void PortWriter::Saw(long long above, Clock::time_point at)
{
    if (hasLine_ && above > 0)
        lineFreeAt_ = std::max(lineFreeAt_, at + wire_.Of(above));
}

// When a write is late. Handing its bytes to the kernel must end within the allowance,
// WriteMultiplier × count + WriteConstant ms from its start, as it always had to; the bytes must
// then be on the line within their own time on the line plus that same allowance, so that a line
// that is merely slow is no fault but a stalled one is. Without time-outs the allowance is the
// time on the line of what is queued with the write, plus a second. A write that misses either
// deadline ends short (see GiveUp), and the next write fails with "Timeout"; so does every write
// that comes while the rest of one that ended short is still queued: it is not made at all, so
// that no line waits behind another and none reaches the far end late. An adapter whose queue
// never quite empties does no harm: the next write takes whatever is queued as its baseline.
int PortWriter::Start(std::string_view bytes, int multiplierMs, int constantMs)
{
    copy_.assign(bytes.begin(), bytes.end());
    handed_ = 0;
    const auto start = Clock::now();
    hasLine_ = wire_.Known() && device_->System().HasLine(device_->Fd());
    // A queue last seen empty stays empty until we write: only a longer one is read again.
    baseline_ = lastQueued_ == 0 ? lastQueued_ : Queued();
    lastQueued_.reset();
    if (outcome_.error)
        return std::exchange(outcome_, {}).error;
    // What is queued already goes out first.
    Saw(baseline_.value_or(0), start);
    const auto count = static_cast<long long>(bytes.size());
    std::chrono::nanoseconds allowance = std::chrono::milliseconds(
        static_cast<long long>(multiplierMs) * count + constantMs);
    if (allowance <= allowance.zero())
        allowance = wire_.Of(baseline_.value_or(0) + count) + kStalledLine;
    handOverBy_ = start + allowance;
    onLineBy_ = *handOverBy_ + wire_.Of(count);
    phase_ = Phase::HandingOver;

    Push();
    if (outcome_.error)
        return std::exchange(outcome_, {}).error;
    if (phase_ != Phase::HandingOver)
        return 0;
    // The kernel's queue is full: the rest goes out from the event loop as room appears.
    if (!room_) {
        room_ = std::make_unique<QSocketNotifier>(device_->Fd(), QSocketNotifier::Write);
        connect(room_.get(), &QSocketNotifier::activated, this, [this] { Push(); });
    }
    room_->setEnabled(true);
    handOverTimer_->start(MillisecondsUntil(*handOverBy_));
    return 0;
}

void PortWriter::Push()
{
    LinuxSystem& system = device_->System();
    while (phase_ == Phase::HandingOver && handed_ < copy_.size()) {
        const ssize_t written =
            system.Write(device_->Fd(), copy_.data() + handed_, copy_.size() - handed_);
        if (written == -EINTR)
            continue;
        if (written == -EAGAIN || written == 0)
            break;
        if (written < 0)
            return Fail(static_cast<int>(-written), "write");
        handed_ += static_cast<std::size_t>(written);
        if (hasLine_)
            lineFreeAt_ = std::max(lineFreeAt_, Clock::now()) + wire_.Of(written);
    }
    if (phase_ != Phase::HandingOver)
        return;
    if (handed_ == copy_.size()) {
        HandedOver();
    } else if (handOverBy_ && Clock::now() >= *handOverBy_) {
        GiveUp();
        if (phase_ == Phase::HandingOver)
            HandedOver();
    }
}

void PortWriter::HandedOver()
{
    const bool complete = handed_ == copy_.size();
    const std::optional<int> queued = Queued();
    const Clock::time_point now = Clock::now();
    const long long floor = baseline_.value_or(0);
    const long long held = queued ? Held(*queued) : 0;
    if (queued && *queued == held)
        Saw(held - floor, now);
    const bool onTheLine = hasLine_ && now < lineFreeAt_;
    End(complete && (held > floor || onTheLine) && !outcome_.error ? Phase::Draining
                                                                   : Phase::Idle);
    if (phase_ == Phase::Draining) {
        drainedBy_ = std::max(now + wire_.Of(held - floor), hasLine_ ? lineFreeAt_ : now);
        lookedQueue_ = held;
        lookedAt_ = now;
    } else if (complete && queued) {
        lastQueued_ = queued;
    }
    if (onHandedOver)
        onHandedOver(std::max(now + wire_.Of(held), hasLine_ ? lineFreeAt_ : now), wire_.Of(1));
}

long long PortWriter::Held(int queued) const
{
    return std::min<long long>(queued, baseline_.value_or(0) + static_cast<long long>(handed_));
}

PortWriter::Outcome PortWriter::Wait()
{
    while (phase_ == Phase::HandingOver) {
        Push();
        if (phase_ != Phase::HandingOver)
            break;
        pollfd room{device_->Fd(), POLLOUT, 0};
        const int ready =
            device_->System().Poll(&room, 1, handOverBy_ ? MillisecondsUntil(*handOverBy_) : -1);
        if (ready < 0 && ready != -EINTR)
            Fail(-ready, "poll");
    }
    while (phase_ == Phase::Draining) {
        const long long above = Look();
        if (phase_ != Phase::Draining)
            break;
        // Until the moment the queue should be down to the baseline. What is still counted
        // after that is most often a transfer about to complete (cdc_acm counts its buffers
        // until then): look again soon, then less and less often, never later than what is
        // still queued takes on the line. Once the queue is down, until the line is free.
        const Clock::time_point now = Clock::now();
        auto until = now < drainedBy_
                         ? drainedBy_
                         : now + std::clamp<std::chrono::nanoseconds>(
                                     now - drainedBy_, 1ms,
                                     std::max<std::chrono::nanoseconds>(wire_.Of(above), 1ms));
        if (above == 0)
            until = lineFreeAt_;
        until = std::min(until, now + kLookEvery);
        if (onLineBy_ && above > 0)
            until = std::min(until, *onLineBy_);
        Watch(until);
    }
    // The rest of a write that ended short still holds the line: this write is not made.
    if (RestQueued())
        outcome_.timedOut = true;
    return std::exchange(outcome_, {});
}

long long PortWriter::Look()
{
    const std::optional<int> queued = Queued();
    const Clock::time_point now = Clock::now();
    if (phase_ != Phase::Draining)
        return 0;
    const long long floor = baseline_.value_or(0);
    if (queued && !Carried(lookedQueue_, Held(*queued), now - lookedAt_))
        return 0;
    if (!queued || *queued <= floor) {
        lookedQueue_ = queued ? Held(*queued) : 0;
        lookedAt_ = now;
        // Out of the queue is not yet off the line: a USB adapter takes bytes into its own
        // buffer, and most cannot say when they have left it.
        if (hasLine_ && now < lineFreeAt_)
            return 0;
        // A line that hung up meanwhile did not carry the write to its end.
        if (hasLine_ && !Watch(now))
            return 0;
        lastQueued_ = queued;
        End(Phase::Idle);
        return 0;
    }
    lookedQueue_ = Held(*queued);
    lookedAt_ = now;
    if (*queued == lookedQueue_)
        Saw(lookedQueue_ - floor, now);
    if (onLineBy_ && now >= *onLineBy_) {
        GiveUp();
        End(Phase::Idle);
        return 0;
    }
    return lookedQueue_ - floor;
}

bool PortWriter::Watch(Clock::time_point until)
{
    if (!hasLine_) {
        SleepUntil(until);
        return true;
    }
    return !HangsUpBy(until);
}

bool PortWriter::Carried(long long before, long long now, std::chrono::nanoseconds elapsed)
{
    if (!wire_.Known() || wire_.Of(before - now - kAdapterBuffer) <= elapsed)
        return true;
    return !HangsUpBy(Clock::now() + kHangUpWait);
}

bool PortWriter::HangsUpBy(Clock::time_point until)
{
    pollfd line{device_->Fd(), 0, 0};
    for (;;) {
        const int ready = device_->System().Poll(&line, 1, MillisecondsUntil(until));
        if (ready == -EINTR)
            continue;
        if (ready > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            Fail(EIO, "poll");
            return true;
        }
        return false;
    }
}

void PortWriter::Finish()
{
    if (!device_)
        return;
    const std::size_t rest = phase_ == Phase::HandingOver ? copy_.size() - handed_ : 0;
    const long long queued = Queued().value_or(0);
    const Clock::time_point now = Clock::now();
    // Queued, or already with a USB adapter that has still to send it.
    const auto onItsWay = std::max<std::chrono::nanoseconds>(
        wire_.Of(queued), hasLine_ ? lineFreeAt_ - now : 0ns);
    const Clock::time_point by =
        now + std::min<std::chrono::nanoseconds>(
                  kLongestClose,
                  onItsWay + wire_.Of(static_cast<long long>(rest)) + kCloseAllowance);
    // No deadline of the write's own: this one rules.
    handOverBy_.reset();
    onLineBy_.reset();
    handOverTimer_->stop();
    while (phase_ == Phase::HandingOver && Clock::now() < by) {
        Push();
        if (phase_ != Phase::HandingOver)
            break;
        pollfd room{device_->Fd(), POLLOUT, 0};
        const int ready = device_->System().Poll(&room, 1, MillisecondsUntil(by));
        if (ready < 0 && ready != -EINTR)
            break;
    }
    End(Phase::Idle);
    if (DrainTo(0, by))
        AwaitLine(by);
    Forget();
}

bool PortWriter::DrainTo(int floor, Clock::time_point by)
{
    // A queue that stops going down is held up (flow control, or an adapter that never reports
    // empty): waiting on for the rest of the time would help nobody.
    const auto patience = std::max<std::chrono::nanoseconds>(wire_.Of(kLargestFifo), 50ms);
    std::optional<int> lowest;
    Clock::time_point movedAt = Clock::now();
    for (;;) {
        const std::optional<int> left = Queued();
        const Clock::time_point now = Clock::now();
        if (!left)
            return false;
        if (*left <= floor)
            return true;
        if (now >= by)
            return false;
        if (!lowest || *left < *lowest) {
            lowest = left;
            movedAt = now;
        } else if (now - movedAt >= patience) {
            return false;
        }
        const auto look =
            std::clamp<std::chrono::nanoseconds>(wire_.Of(*left - floor), 1ms, patience);
        SleepUntil(std::min(by, now + look));
    }
}

void PortWriter::Settle()
{
    outcome_ = Wait();
    if (!device_ || outcome_.error)
        return;
    bool settled = !outcome_.timedOut;
    if (restAbove_) {
        // The rest of a write that ended short goes out at the settings it was written with, or
        // not at all: in the new frame it would be garbage.
        const long long queued = Queued().value_or(0);
        settled = DrainTo(*restAbove_,
                          Clock::now() + std::min<std::chrono::nanoseconds>(
                                             kLongestClose, wire_.Of(queued) + kCloseAllowance));
        if (!settled)
            device_->System().Flush(device_->Fd(), TCOFLUSH);
        restAbove_.reset();
        lastQueued_.reset();
    }
    if (settled) {
        const Clock::time_point now = Clock::now();
        AwaitLine(std::max(now + wire_.Of(kLargestFifo) + kCloseAllowance,
                           std::min(lineFreeAt_, now + kLongestClose)));
    }
}

void PortWriter::AwaitLine(Clock::time_point by)
{
    if (hasLine_)
        SleepUntil(std::min(by, lineFreeAt_));
    while (Clock::now() < by) {
        const std::optional<bool> empty = TransmitterEmpty();
        if (!empty || *empty)
            return;
        const auto frame = std::max<std::chrono::nanoseconds>(wire_.Of(1), 1ms);
        SleepUntil(std::min(by, Clock::now() + frame));
    }
}

std::optional<bool> PortWriter::TransmitterEmpty()
{
    if (!reportsTransmitter_)
        return std::nullopt;
    unsigned int status = 0;
    const int result = device_->System().Ioctl(device_->Fd(), TIOCSERGETLSR, &status);
    if (ComDevice::Unsupported(result))
        reportsTransmitter_ = false;
    if (result < 0)
        return std::nullopt;
    return (status & TIOCSER_TEMT) != 0;
}

std::optional<int> PortWriter::Queued()
{
    if (!reportsQueue_)
        return std::nullopt;
    int queued = 0;
    const int result = device_->System().Ioctl(device_->Fd(), TIOCOUTQ, &queued);
    if (result >= 0)
        return queued;
    if (ComDevice::Unsupported(result))
        reportsQueue_ = false;
    else
        Fail(-result, "TIOCOUTQ");
    return std::nullopt;
}
