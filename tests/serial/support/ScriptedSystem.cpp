#include "ScriptedSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
} // namespace

int ScriptedSystem::Close(int fd)
{
    Count();
    if (std::this_thread::get_id() == owner_)
        ++ownerCloses_;
    {
        std::lock_guard lock(mutex_);
        Note("close");
    }
    const int result = LinuxSystem::Close(fd);
    ++closes_;
    return result;
}

int ScriptedSystem::Ioctl(int fd, unsigned long request, void* argument)
{
    Count();
    std::unique_lock lock(mutex_);
    if (const auto failure = failures_.find(request); failure != failures_.end())
        return -failure->second;
    switch (request) {
    case TIOCMGET:
        if (!modemLines_)
            return -ENOTTY;
        *static_cast<int*>(argument) = *modemLines_;
        return 0;
    case TIOCMBIS:
    case TIOCMBIC:
        if (!modemLines_)
            return -ENOTTY;
        if (request == TIOCMBIS)
            *modemLines_ |= *static_cast<int*>(argument);
        else
            *modemLines_ &= ~*static_cast<int*>(argument);
        return 0;
    case TIOCGICOUNT:
        if (!counters_)
            return -ENOTTY;
        std::memcpy(argument, &*counters_, sizeof *counters_);
        if (nextCounters_)
            counters_ = std::exchange(nextCounters_, std::nullopt);
        return 0;
    case TIOCEXCL:
    case TIOCNXCL:
        if (!exclusive_)
            break;
        exclusive_ = request == TIOCEXCL;
        return 0;
    case TIOCGEXCL:
        if (!exclusive_)
            break;
        *static_cast<int*>(argument) = *exclusive_;
        return 0;
    case TIOCOUTQ:
        if (outputQueue_) {
            *static_cast<int*>(argument) = *outputQueue_;
            return 0;
        }
        if (drainRate_ && Unplugged(Clock::now())) {
            // A pulled adapter's transfers fail, and each driver counts them done as they come
            // back, before the hang-up: drivers/usb/serial/generic.c,
            // usb_serial_generic_write_bulk_callback (empties the write fifo on an error) and
            // drivers/usb/class/cdc-acm.c, acm_write_bulk (frees the buffer whatever the status).
            *static_cast<int*>(argument) = 0;
            return 0;
        }
        if (bufferSize_) {
            // drivers/usb/class/cdc-acm.c, acm_tty_chars_in_buffer: every transfer buffer in
            // flight counts whole, (ACM_NW - free) * writesize, until its transfer completes.
            const Clock::time_point now = Clock::now();
            std::erase_if(transfersEnd_, [&](Clock::time_point end) { return end <= now; });
            *static_cast<int*>(argument) = static_cast<int>(transfersEnd_.size()) * bufferSize_;
            return 0;
        }
        if (drainRate_) {
            // drivers/tty/serial/serial_core.c, uart_chars_in_buffer: the circular buffer, not
            // the UART's FIFO; drivers/usb/serial/generic.c, usb_serial_generic_chars_in_buffer:
            // the write fifo and the transfers in flight, not the adapter's own buffer.
            *static_cast<int*>(argument) = std::max(0, QueuedAt(Clock::now()) - fifo_);
            return 0;
        }
        break;
    case TIOCSERGETLSR:
        // Answered by drivers/tty/serial/serial_core.c, uart_get_lsr_info, and by
        // drivers/usb/serial/ftdi_sio.c, ftdi_ioctl (get_lsr_info) only. cp210x, ch341 and
        // pl2303 have no such case, so drivers/usb/serial/usb-serial.c, serial_ioctl, returns
        // -ENOIOCTLCMD (ENOTTY), as drivers/usb/class/cdc-acm.c, acm_tty_ioctl, does.
        if (!drainRate_ || (driver_ != Driver::Uart && driver_ != Driver::FtdiSio))
            break;
        *static_cast<unsigned int*>(argument) = QueuedAt(Clock::now()) == 0 ? TIOCSER_TEMT : 0;
        return 0;
    default:
        break;
    }
    lock.unlock();
    return LinuxSystem::Ioctl(fd, request, argument);
}

ssize_t ScriptedSystem::Write(int fd, const void* buffer, std::size_t count)
{
    Count();
    std::unique_lock lock(mutex_);
    if (writeLimit_) {
        if (*writeLimit_ == 0)
            return -EAGAIN;
        count = std::min(count, *writeLimit_);
    }
    if (!drainRate_) {
        lock.unlock();
        return LinuxSystem::Write(fd, buffer, count);
    }
    const Clock::time_point now = Clock::now();
    const int queued = QueuedAt(now);
    mostQueuedAtWrite_ = std::max(mostQueuedAtWrite_, queued);
    if (queued >= drainCapacity_)
        return -EAGAIN;
    count = std::min(count, static_cast<std::size_t>(drainCapacity_ - queued));
    const ssize_t written = LinuxSystem::Write(fd, buffer, count);
    if (written > 0) {
        // While the line is held, bytes line up behind the moment it stopped.
        const Clock::time_point start = std::max(stalledAt_.value_or(now), lineFreeAt_);
        taken_.push_back({takenBytes_ + 1, static_cast<std::uint64_t>(written), start});
        takenBytes_ += static_cast<std::uint64_t>(written);
        lineFreeAt_ = start + frameTime_ * written;
        // drivers/usb/class/cdc-acm.c, acm_tty_write: one transfer buffer of at most writesize
        // bytes per call, which n_tty_write repeats until the write is taken.
        for (ssize_t left = written; bufferSize_ && left > 0; left -= bufferSize_)
            transfersEnd_.push_back(now + transferTime_);
    }
    return written;
}

int ScriptedSystem::QueuedAt(Clock::time_point now) const
{
    if (stalledAt_)
        now = std::min(now, *stalledAt_);
    if (now >= lineFreeAt_)
        return 0;
    // A byte counts as queued until its last bit has left.
    const auto left = lineFreeAt_ - now + frameTime_ - std::chrono::nanoseconds(1);
    return static_cast<int>(left / frameTime_);
}

void ScriptedSystem::DrainAt(int bitsPerSecond, int capacity, int bitsPerFrame, int fifo)
{
    std::lock_guard lock(mutex_);
    drainRate_ = bitsPerSecond;
    drainCapacity_ = capacity;
    fifo_ = fifo;
    if (bitsPerSecond > 0)
        frameTime_ = std::chrono::nanoseconds(1'000'000'000LL * bitsPerFrame / bitsPerSecond);
}

void ScriptedSystem::PlayDriver(Driver driver)
{
    std::lock_guard lock(mutex_);
    driver_ = driver;
}

void ScriptedSystem::CountWholeBuffers(int size, std::chrono::nanoseconds transfer)
{
    std::lock_guard lock(mutex_);
    driver_ = size ? Driver::CdcAcm : Driver::Uart;
    bufferSize_ = size;
    transferTime_ = transfer;
    transfersEnd_.clear();
}

void ScriptedSystem::Requeue(Clock::time_point from, Clock::time_point resume)
{
    if (frameTime_.count() == 0)
        return;
    std::vector<Taken> requeued;
    Clock::time_point next = resume;
    for (const Taken& t : taken_) {
        const auto left = std::min<std::uint64_t>(
            t.count, from <= t.start ? 0 : static_cast<std::uint64_t>((from - t.start) / frameTime_));
        if (left > 0)
            requeued.push_back({t.first, left, t.start});
        if (left == t.count || resume == Clock::time_point::max())
            continue;
        requeued.push_back({t.first + left, t.count - left, next});
        next += frameTime_ * static_cast<long long>(t.count - left);
    }
    taken_ = std::move(requeued);
    lineFreeAt_ = resume == Clock::time_point::max() ? std::min(lineFreeAt_, from)
                                                     : std::max(next, resume);
}

void ScriptedSystem::Stall(bool on)
{
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (on && !stalledAt_) {
        stalledAt_ = now;
    } else if (!on && stalledAt_) {
        const Clock::time_point from = *stalledAt_;
        stalledAt_.reset();
        Requeue(from, now);
    }
}

void ScriptedSystem::Unplug(Clock::time_point at, std::chrono::nanoseconds hangUpAfter)
{
    std::lock_guard lock(mutex_);
    unplugAt_ = at;
    // The hang-up comes once the hub has seen the device go: drivers/usb/serial/usb-serial.c,
    // usb_serial_disconnect, and drivers/usb/class/cdc-acm.c, acm_disconnect, call tty_vhangup.
    hangUpAt_ = at + hangUpAfter;
    Requeue(at, Clock::time_point::max());
    for (Clock::time_point& end : transfersEnd_)
        end = std::min(end, at);
}

bool ScriptedSystem::HungUp() const
{
    return hangUp_ || (hangUpAt_ && Clock::now() >= *hangUpAt_);
}

std::uint64_t ScriptedSystem::TakenBytes() const
{
    std::lock_guard lock(mutex_);
    return takenBytes_;
}

int ScriptedSystem::QueuedNow() const
{
    std::lock_guard lock(mutex_);
    return QueuedAt(Clock::now());
}

int ScriptedSystem::MostQueuedAtWrite() const
{
    std::lock_guard lock(mutex_);
    return mostQueuedAtWrite_;
}

std::optional<std::chrono::steady_clock::time_point>
ScriptedSystem::LeftTheLine(std::uint64_t n) const
{
    std::lock_guard lock(mutex_);
    for (const Taken& t : taken_) {
        if (n >= t.first && n < t.first + t.count)
            return t.start + frameTime_ * static_cast<long long>(n - t.first + 1);
    }
    return std::nullopt;
}

int ScriptedSystem::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    Count();
    // A hang-up still to come ends a wait that would outlast it, as the kernel's wake-up would.
    auto untilHangUp = [&](int timeout) {
        std::lock_guard lock(mutex_);
        if (!hangUpAt_ || HungUp())
            return timeout;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*hangUpAt_ - Clock::now());
        const int ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        return timeout < 0 ? ms : std::min(timeout, ms);
    };
    auto hungUp = [&] {
        std::lock_guard lock(mutex_);
        return HungUp();
    };
    // Only the event thread polls two descriptors; the port's own waits for room poll one.
    if (count == 2) {
        eventThread_ = static_cast<int>(gettid());
        ++threadWaits_;
        std::unique_lock lock(mutex_);
        if (hold_) {
            ++waiting_;
            // Bounded, so that a test that fails while holding ends instead of hanging.
            gate_.wait_for(lock, std::chrono::seconds(30), [this] { return !hold_; });
            --waiting_;
        }
        if (pollError_)
            return -pollError_;
        lock.unlock();
        int ready = LinuxSystem::Poll(fds, count, untilHangUp(timeoutMs));
        // Whatever the wait ends with, the hang-up comes with it.
        if (ready >= 0 && hungUp()) {
            ready += fds[0].revents ? 0 : 1;
            fds[0].revents |= POLLHUP;
        }
        return ready;
    }
    if (hungUp()) {
        fds[0].revents = POLLHUP;
        return 1;
    }
    const int ready = LinuxSystem::Poll(fds, count, untilHangUp(timeoutMs));
    if (ready >= 0 && hungUp()) {
        fds[0].revents = POLLHUP;
        return 1;
    }
    return ready;
}

int ScriptedSystem::Flush(int fd, int queue)
{
    Count();
    if (queue == TCOFLUSH || queue == TCIOFLUSH) {
        std::lock_guard lock(mutex_);
        Note("flush output");
        if (driver_ != Driver::Uart) {
            // drivers/usb/serial/usb-serial.c (serial_ops) and drivers/usb/class/cdc-acm.c
            // (acm_ops) have no flush_buffer in 6.1: drivers/tty/tty_ioctl.c,
            // tty_driver_flush_buffer, finds nothing to call, and what was queued still goes out
            // (and reaches the far end).
            if (queue == TCOFLUSH)
                return 0;
            queue = TCIFLUSH;
        } else {
            // drivers/tty/serial/serial_core.c, uart_flush_buffer: the circular buffer is
            // emptied; bytes that have not left the line by now never will, but those in the
            // UART's FIFO.
            if (outputQueue_)
                outputQueue_ = 0;
            Requeue(Clock::now() + frameTime_ * fifo_, Clock::time_point::max());
        }
    }
    return LinuxSystem::Flush(fd, queue);
}

void ScriptedSystem::Note(const char* name) { callLog_.push_back({name, Clock::now()}); }

std::vector<ScriptedSystem::Call> ScriptedSystem::Calls() const
{
    std::lock_guard lock(mutex_);
    return callLog_;
}

void ScriptedSystem::Count()
{
    ++calls_;
    if (std::this_thread::get_id() == owner_)
        ++ownerCalls_;
}

int ScriptedSystem::GetAttributes(int fd, termios& attributes)
{
    Count();
    ++attributeCalls_;
    const int result = LinuxSystem::GetAttributes(fd, attributes);
    std::lock_guard lock(mutex_);
    if (result == 0 && keepFrames_ && frame_)
        attributes.c_cflag = (attributes.c_cflag & ~kFrame) | frame_;
    return result;
}

int ScriptedSystem::SetAttributes(int fd, const termios& attributes)
{
    Count();
    ++attributeCalls_;
    {
        std::lock_guard lock(mutex_);
        Note("tcsetattr");
        if (keepFrames_)
            frame_ = attributes.c_cflag & kFrame;
    }
    return LinuxSystem::SetAttributes(fd, attributes);
}

bool ScriptedSystem::HasLine(int fd)
{
    {
        std::lock_guard lock(mutex_);
        if (drainRate_)
            return true;
    }
    return LinuxSystem::HasLine(fd);
}

int ScriptedSystem::WakeDescriptor()
{
    if (failWake_)
        return -EMFILE;
    return LinuxSystem::WakeDescriptor();
}

void ScriptedSystem::SetModemLines(std::optional<int> lines)
{
    std::lock_guard lock(mutex_);
    modemLines_ = lines;
}

void ScriptedSystem::SetCounters(std::optional<serial_icounter_struct> counters)
{
    std::lock_guard lock(mutex_);
    counters_ = counters;
}

void ScriptedSystem::SetCountersAfterNextRead(serial_icounter_struct counters)
{
    std::lock_guard lock(mutex_);
    nextCounters_ = counters;
}

void ScriptedSystem::ScriptExclusive(bool set)
{
    std::lock_guard lock(mutex_);
    exclusive_ = set;
}

bool ScriptedSystem::Exclusive() const
{
    std::lock_guard lock(mutex_);
    return exclusive_.value_or(false);
}

void ScriptedSystem::SetOutputQueue(std::optional<int> bytes)
{
    std::lock_guard lock(mutex_);
    outputQueue_ = bytes;
}

void ScriptedSystem::FailIoctl(unsigned long request, int error)
{
    std::lock_guard lock(mutex_);
    if (error)
        failures_[request] = error;
    else
        failures_.erase(request);
}

void ScriptedSystem::FailPoll(int error)
{
    std::lock_guard lock(mutex_);
    pollError_ = error;
}

void ScriptedSystem::LimitWrites(std::optional<std::size_t> bytes)
{
    std::lock_guard lock(mutex_);
    writeLimit_ = bytes;
}

void ScriptedSystem::Hold()
{
    std::lock_guard lock(mutex_);
    hold_ = true;
}

void ScriptedSystem::Release()
{
    {
        std::lock_guard lock(mutex_);
        hold_ = false;
    }
    gate_.notify_all();
}
