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
        if (!outputQueue_)
            break;
        *static_cast<int*>(argument) = *outputQueue_;
        return 0;
    default:
        break;
    }
    lock.unlock();
    return SerialSystem::Ioctl(fd, request, argument);
}

ssize_t ScriptedSystem::Write(int fd, const void* buffer, std::size_t count)
{
    Count();
    std::optional<std::size_t> limit;
    {
        std::lock_guard lock(mutex_);
        limit = writeLimit_;
    }
    if (limit) {
        if (*limit == 0)
            return -EAGAIN;
        count = std::min(count, *limit);
    }
    return SerialSystem::Write(fd, buffer, count);
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
            gate_.wait(lock, [this] { return !hold_; });
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
