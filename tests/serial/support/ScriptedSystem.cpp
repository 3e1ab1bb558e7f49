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
        if (bufferSize_) {
            const Clock::time_point now = Clock::now();
            std::erase_if(transfersEnd_, [&](Clock::time_point end) { return end <= now; });
            *static_cast<int*>(argument) = static_cast<int>(transfersEnd_.size()) * bufferSize_;
            return 0;
        }
        if (drainRate_) {
            *static_cast<int*>(argument) = std::max(0, QueuedAt(Clock::now()) - fifo_);
            return 0;
        }
        break;
    case TIOCSERGETLSR:
        if (!drainRate_ || bufferSize_)
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
        const Clock::time_point start = std::max(now, lineFreeAt_);
        taken_.push_back({takenBytes_ + 1, static_cast<std::uint64_t>(written), start});
        takenBytes_ += static_cast<std::uint64_t>(written);
        lineFreeAt_ = start + frameTime_ * written;
        if (bufferSize_)
            transfersEnd_.push_back(now + transferTime_);
    }
    return written;
}

int ScriptedSystem::QueuedAt(Clock::time_point now) const
{
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

void ScriptedSystem::CountWholeBuffers(int size, std::chrono::nanoseconds transfer)
{
    std::lock_guard lock(mutex_);
    bufferSize_ = size;
    transferTime_ = transfer;
    transfersEnd_.clear();
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
        int ready = LinuxSystem::Poll(fds, count, timeoutMs);
        // Whatever the wait ends with, the hang-up comes with it.
        if (ready >= 0 && hangUp_) {
            ready += fds[0].revents ? 0 : 1;
            fds[0].revents |= POLLHUP;
        }
        return ready;
    }
    if (hangUp_) {
        fds[0].revents = POLLHUP;
        return 1;
    }
    return LinuxSystem::Poll(fds, count, timeoutMs);
}

int ScriptedSystem::Flush(int fd, int queue)
{
    Count();
    {
        std::lock_guard lock(mutex_);
        if (queue == TCOFLUSH || queue == TCIOFLUSH) {
            Note("flush output");
            if (outputQueue_)
                outputQueue_ = 0;
            // Bytes that have not left the line by now never will, but those in the UART.
            const Clock::time_point end = Clock::now() + frameTime_ * fifo_;
            for (Taken& t : taken_) {
                const auto kept = end <= t.start || frameTime_.count() == 0
                                      ? 0
                                      : (end - t.start) / frameTime_;
                t.count = std::min(t.count, static_cast<std::uint64_t>(kept));
            }
            lineFreeAt_ = std::min(lineFreeAt_, end);
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
