#include "ScriptedSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>

int ScriptedSystem::Close(int fd)
{
    Count();
    if (std::this_thread::get_id() == owner_)
        ++ownerCloses_;
    const int result = SerialSystem::Close(fd);
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
        return 0;
    case TIOCOUTQ:
        if (outputQueue_) {
            *static_cast<int*>(argument) = *outputQueue_;
            return 0;
        }
        if (drainRate_) {
            *static_cast<int*>(argument) = QueuedAt(Clock::now());
            return 0;
        }
        break;
    default:
        break;
    }
    lock.unlock();
    return SerialSystem::Ioctl(fd, request, argument);
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
        return SerialSystem::Write(fd, buffer, count);
    }
    const Clock::time_point now = Clock::now();
    const int queued = QueuedAt(now);
    mostQueuedAtWrite_ = std::max(mostQueuedAtWrite_, queued);
    if (queued >= drainCapacity_)
        return -EAGAIN;
    count = std::min(count, static_cast<std::size_t>(drainCapacity_ - queued));
    const ssize_t written = SerialSystem::Write(fd, buffer, count);
    if (written > 0) {
        const Clock::time_point start = std::max(now, lineFreeAt_);
        taken_.push_back({takenBytes_ + 1, static_cast<std::uint64_t>(written), start});
        takenBytes_ += static_cast<std::uint64_t>(written);
        lineFreeAt_ = start + frameTime_ * written;
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

void ScriptedSystem::DrainAt(int bitsPerSecond, int capacity, int bitsPerFrame)
{
    std::lock_guard lock(mutex_);
    drainRate_ = bitsPerSecond;
    drainCapacity_ = capacity;
    if (bitsPerSecond > 0)
        frameTime_ = std::chrono::nanoseconds(1'000'000'000LL * bitsPerFrame / bitsPerSecond);
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
    }
    return SerialSystem::Poll(fds, count, timeoutMs);
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
    return SerialSystem::GetAttributes(fd, attributes);
}

int ScriptedSystem::SetAttributes(int fd, const termios& attributes)
{
    Count();
    ++attributeCalls_;
    return SerialSystem::SetAttributes(fd, attributes);
}

int ScriptedSystem::WakeDescriptor()
{
    if (failWake_)
        return -EMFILE;
    return SerialSystem::WakeDescriptor();
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
