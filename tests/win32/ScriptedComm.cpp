#include "ScriptedComm.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>

namespace {

// What each thread is to do as it ends: a fiber-local slot's callback runs then, under the
// loader's lock, so it never waits.
using ThreadEnd = std::vector<std::function<void()>>;

void WINAPI RunThreadEnd(void* calls)
{
    const std::unique_ptr<ThreadEnd> owned(static_cast<ThreadEnd*>(calls));
    for (const auto& call : *owned)
        call();
}

void AtThreadEnd(std::function<void()> call)
{
    static const DWORD slot = ::FlsAlloc(&RunThreadEnd);
    auto* calls = static_cast<ThreadEnd*>(::FlsGetValue(slot));
    if (!calls) {
        calls = new ThreadEnd;
        ::FlsSetValue(slot, calls);
    }
    calls->push_back(std::move(call));
}

const HANDLE kDevice = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5e51a1));

ScriptedComm::Clock::time_point Later(ScriptedComm::Clock::time_point a,
                                      ScriptedComm::Clock::time_point b)
{
    return std::max(a, b);
}

} // namespace

ScriptedComm::ScriptedComm()
{
    state_.DCBlength = sizeof state_;
    state_.BaudRate = 9600;
    state_.ByteSize = 8;
    state_.Parity = NOPARITY;
    state_.StopBits = ONESTOPBIT;
    state_.fBinary = 1;
    driverThread_ = std::thread([this] { Run(); });
}

ScriptedComm::~ScriptedComm()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    driverThread_.join();
}

// --- the script ---

void ScriptedComm::SetDriver(Driver driver)
{
    std::lock_guard lock(mutex_);
    driver_ = driver;
}

void ScriptedComm::SetFifo(int bytes)
{
    std::lock_guard lock(mutex_);
    fifo_ = bytes;
}

void ScriptedComm::SetLineRate(std::optional<int> bitsPerSecond)
{
    std::lock_guard lock(mutex_);
    lineRate_ = bitsPerSecond;
    Schedule(Clock::now());
    changed_.notify_all();
}

void ScriptedComm::Unplug(DWORD error, DWORD writeError, DWORD waitError)
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    gone_ = error;
    // An adapter pulled out loses what it held.
    for (Byte& byte : bytes_)
        byte.cut = byte.cut || byte.leaves > now;
    if (writing_ && !transfers_.at(writing_).wedged) {
        Transfer& write = transfers_.at(writing_);
        DWORD moved = 0;
        for (std::size_t i = write.first; i < write.first + write.count; ++i)
            moved += bytes_[i].inFifo <= now;
        Complete(write, writeError ? writeError : error, moved);
    }
    if (wait_ && waitError != ERROR_IO_PENDING)
        CompleteWait(0, waitError ? waitError : error);
    changed_.notify_all();
}

void ScriptedComm::AbortNextWait()
{
    std::lock_guard lock(mutex_);
    if (wait_)
        CompleteWait(0, ERROR_OPERATION_ABORTED);
    else
        abortNextWait_ = true;
}

void ScriptedComm::AbortEveryWait(bool on)
{
    std::lock_guard lock(mutex_);
    abortEveryWait_ = on;
}

void ScriptedComm::RefuseWaits(DWORD error)
{
    std::lock_guard lock(mutex_);
    refuseWaits_ = error;
}

void ScriptedComm::IgnoreCancelOfWaits(bool on)
{
    std::lock_guard lock(mutex_);
    ignoreCancel_ = on;
}

void ScriptedComm::IgnoreMaskChangeOfWaits(bool on)
{
    std::lock_guard lock(mutex_);
    ignoreMaskChange_ = on;
}

void ScriptedComm::DelayReads(std::chrono::milliseconds delay)
{
    std::lock_guard lock(mutex_);
    readDelay_ = delay;
}

void ScriptedComm::IgnoreCancelOfOpens(bool on)
{
    std::lock_guard lock(mutex_);
    ignoreCancelOfOpens_ = on;
}

void ScriptedComm::SetModemLines(DWORD lines)
{
    std::lock_guard lock(mutex_);
    const DWORD changed = std::exchange(modemLines_, lines) ^ lines;
    RaiseLocked((changed & MS_CTS_ON ? EV_CTS : 0) | (changed & MS_DSR_ON ? EV_DSR : 0) |
                (changed & MS_RING_ON ? EV_RING : 0) | (changed & MS_RLSD_ON ? EV_RLSD : 0));
}

void ScriptedComm::WedgeWrites(bool on)
{
    std::lock_guard lock(mutex_);
    wedgeWrites_ = on;
    if (!on && writing_ && transfers_.at(writing_).wedged)
        Complete(transfers_.at(writing_), ERROR_OPERATION_ABORTED, 0);
}

void ScriptedComm::Raise(DWORD events)
{
    std::lock_guard lock(mutex_);
    RaiseLocked(events);
}

void ScriptedComm::Receive(const std::string& bytes)
{
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    RaiseLocked(EV_RXCHAR);
}

void ScriptedComm::AddLineErrors(DWORD errors)
{
    std::lock_guard lock(mutex_);
    lineErrors_ |= errors;
    RaiseLocked(EV_ERR);
}

void ScriptedComm::RefuseOpen(DWORD error)
{
    std::lock_guard lock(mutex_);
    refuseOpen_ = error;
}

void ScriptedComm::DelayOpens(std::chrono::milliseconds delay)
{
    std::lock_guard lock(mutex_);
    openDelay_ = delay;
}

void ScriptedComm::SetHangLimit(std::chrono::milliseconds limit)
{
    std::lock_guard lock(mutex_);
    hangLimit_ = limit;
}

// --- what happened ---

std::string ScriptedComm::Wire() const
{
    std::lock_guard lock(mutex_);
    std::string wire;
    for (const Byte& byte : bytes_)
        if (!byte.cut)
            wire += byte.value;
    return wire;
}

std::optional<ScriptedComm::Clock::time_point> ScriptedComm::LeftTheLine(std::size_t n) const
{
    std::lock_guard lock(mutex_);
    if (n == 0 || n > bytes_.size() || bytes_[n - 1].cut || bytes_[n - 1].leaves == kNever)
        return std::nullopt;
    return bytes_[n - 1].leaves;
}

bool ScriptedComm::AllLeft() const
{
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    return std::all_of(bytes_.begin(), bytes_.end(),
                       [&](const Byte& byte) { return byte.cut || byte.leaves <= now; });
}

int ScriptedComm::CutInTheFifo() const
{
    std::lock_guard lock(mutex_);
    return cutInFifo_;
}

int ScriptedComm::SentAtChangedSettings() const
{
    std::lock_guard lock(mutex_);
    return sentAtChangedSettings_;
}

int ScriptedComm::Hangs() const
{
    std::lock_guard lock(mutex_);
    return hangs_;
}

std::vector<ScriptedComm::Call> ScriptedComm::Calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

int ScriptedComm::CallsOf(const std::string& name) const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const Call& call) { return call.name == name; }));
}

int ScriptedComm::WaitsStarted() const
{
    std::lock_guard lock(mutex_);
    return waitsStarted_;
}

int ScriptedComm::OpensUnderWay() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(openers_.size());
}

bool ScriptedComm::Open() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

DCB ScriptedComm::State() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

// --- the line ---

std::chrono::nanoseconds ScriptedComm::ByteTime() const
{
    const int rate = lineRate_.value_or(static_cast<int>(state_.BaudRate));
    if (rate <= 0)
        return std::chrono::nanoseconds::zero(); // stalled
    const int bits = 1 + state_.ByteSize + (state_.Parity == NOPARITY ? 0 : 1) +
                     (state_.StopBits == ONESTOPBIT ? 1 : 2);
    return std::chrono::nanoseconds(bits * 1'000'000'000LL / rate);
}

void ScriptedComm::Schedule(Clock::time_point from)
{
    const auto perByte = ByteTime();
    const bool stalled = perByte == std::chrono::nanoseconds::zero();
    // The bytes before the first one still to start keep their times; the FIFO admits a byte
    // when the one `fifo_` places ahead of it has left.
    std::vector<Clock::time_point> leaves; // of the bytes not cut, in order
    Clock::time_point previous{};
    for (Byte& byte : bytes_) {
        if (byte.cut)
            continue;
        if (byte.starts != kNever && byte.starts < from) {
            leaves.push_back(byte.leaves);
            previous = byte.leaves;
            continue;
        }
        const std::size_t index = leaves.size();
        if (fifo_ == 0) {
            // Without a FIFO a byte leaves the driver's queue as it starts.
            const Clock::time_point start = Later(Later(byte.arrives, previous), from);
            byte.starts = stalled || previous == kNever ? kNever : start;
            byte.inFifo = byte.starts;
        } else {
            if (byte.inFifo == kNever || byte.inFifo > from) {
                Clock::time_point room = byte.arrives;
                if (index >= static_cast<std::size_t>(fifo_))
                    room = leaves[index - static_cast<std::size_t>(fifo_)];
                byte.inFifo = room == kNever ? kNever : Later(Later(byte.arrives, room), from);
            }
            const Clock::time_point start = Later(Later(byte.inFifo, previous), from);
            byte.starts = stalled || byte.inFifo == kNever || previous == kNever ? kNever : start;
        }
        byte.leaves = byte.starts == kNever ? kNever : byte.starts + perByte;
        leaves.push_back(byte.leaves);
        previous = byte.leaves;
    }
}

std::size_t ScriptedComm::QueuedAt(Clock::time_point now) const
{
    if (!writing_)
        return 0;
    const Transfer& write = transfers_.at(writing_);
    std::size_t queued = 0;
    for (std::size_t i = write.first; i < write.first + write.count; ++i)
        queued += !bytes_[i].cut && bytes_[i].inFifo > now;
    return queued;
}

ScriptedComm::Clock::time_point ScriptedComm::NextDue() const
{
    Clock::time_point read = kNever;
    for (const auto& [record, transfer] : transfers_)
        if (transfer.kind == Kind::Read && transfer.pending)
            read = std::min(read, transfer.due);
    if (!writing_ || transfers_.at(writing_).wedged)
        return read;
    const Transfer& write = transfers_.at(writing_);
    Clock::time_point done{};
    for (std::size_t i = write.first; i < write.first + write.count; ++i)
        if (!bytes_[i].cut)
            done = std::max(done, bytes_[i].inFifo);
    return std::min({done, write.deadline, read});
}

void ScriptedComm::Advance(Clock::time_point now)
{
    for (auto& [record, read] : transfers_) {
        if (read.kind != Kind::Read || !read.pending || read.due > now)
            continue;
        const DWORD moved = std::min<DWORD>(static_cast<DWORD>(read.count),
                                            static_cast<DWORD>(input_.size()));
        std::copy_n(input_.begin(), moved, read.buffer);
        input_.erase(input_.begin(), input_.begin() + moved);
        Complete(read, ERROR_SUCCESS, moved);
    }
    if (!writing_ || transfers_.at(writing_).wedged)
        return;
    Transfer& write = transfers_.at(writing_);
    Clock::time_point done{};
    for (std::size_t i = write.first; i < write.first + write.count; ++i)
        done = std::max(done, bytes_[i].inFifo);
    if (done <= now && done <= write.deadline) {
        Complete(write, ERROR_SUCCESS, static_cast<DWORD>(write.count));
        return;
    }
    if (write.deadline > now)
        return;
    // Out of time: what has not entered the FIFO stays behind.
    DWORD handed = 0;
    for (std::size_t i = write.first; i < write.first + write.count; ++i) {
        Byte& byte = bytes_[i];
        if (byte.inFifo <= write.deadline)
            ++handed;
        else
            byte.cut = true;
    }
    if (driver_ == Driver::Usbser) {
        // usbser.sys raises EV_TXEMPTY on its own, before it fails the write (RJCP
        // SerialPortStream #146).
        RaiseLocked(EV_TXEMPTY);
        Complete(write, ERROR_SEM_TIMEOUT, handed);
        return;
    }
    Complete(write, ERROR_SUCCESS, handed);
}

void ScriptedComm::Complete(Transfer& transfer, DWORD error, DWORD moved)
{
    transfer.pending = false;
    transfer.error = error;
    transfer.moved = moved;
    ::SetEvent(transfer.event);
    changed_.notify_all();
    if (writing_ && &transfers_.at(writing_) == &transfer) {
        writing_ = nullptr;
        if (error == ERROR_SUCCESS)
            RaiseLocked(EV_TXEMPTY);
    }
}

void ScriptedComm::CompleteWait(DWORD events, DWORD error)
{
    Transfer& wait = transfers_.at(wait_);
    wait_ = nullptr;
    *wait.events = error == ERROR_SUCCESS ? events : 0;
    Complete(wait, error, 0);
}

void ScriptedComm::RaiseLocked(DWORD events)
{
    events &= mask_;
    if (!events)
        return;
    if (wait_)
        CompleteWait(events | std::exchange(eventsSeen_, 0), ERROR_SUCCESS);
    else
        eventsSeen_ |= events;
}

void ScriptedComm::Run()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const Clock::time_point due = NextDue();
        if (due == kNever)
            changed_.wait(lock);
        else
            changed_.wait_until(lock, due);
        Advance(Clock::now());
    }
}

DWORD ScriptedComm::Enter(const char* name, HANDLE device, DWORD argument)
{
    calls_.push_back({name, Clock::now(), argument});
    if (device != kDevice || !open_)
        return ERROR_INVALID_HANDLE;
    return gone_;
}

// --- the calls ---

DWORD ScriptedComm::OpenDevice(const std::string&, HANDLE& device)
{
    std::unique_lock lock(mutex_);
    calls_.push_back({"CreateFile", Clock::now()});
    // The driver answers when it answers, unless CancelSynchronousIo ends the wait (Microsoft's
    // CancelSynchronousIo page: an open blocked on a slow device).
    const auto answer = Clock::now() + openDelay_;
    const DWORD thread = ::GetCurrentThreadId();
    openers_[thread] = false;
    changed_.wait_until(lock, answer, [&] { return openers_.at(thread); });
    const bool cancelled = openers_.at(thread);
    openers_.erase(thread);
    device = INVALID_HANDLE_VALUE;
    if (cancelled)
        return ERROR_OPERATION_ABORTED;
    if (refuseOpen_)
        return refuseOpen_;
    if (gone_)
        return ERROR_FILE_NOT_FOUND;
    if (open_)
        return ERROR_ACCESS_DENIED;
    open_ = true;
    mask_ = 0;
    eventsSeen_ = 0;
    device = kDevice;
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::CancelSynchronousIo(HANDLE thread)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({"CancelSynchronousIo", Clock::now()});
    const auto found = openers_.find(::GetThreadId(thread));
    if (found == openers_.end())
        return ERROR_NOT_FOUND;
    if (ignoreCancelOfOpens_)
        return ERROR_SUCCESS;
    found->second = true;
    changed_.notify_all();
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::CloseHandle(HANDLE device)
{
    std::unique_lock lock(mutex_);
    calls_.push_back({"CloseHandle", Clock::now()});
    if (device != kDevice || !open_)
        return ERROR_INVALID_HANDLE;
    // A wedged write holds the close.
    auto wedged = [&] { return writing_ && transfers_.at(writing_).wedged; };
    if (!changed_.wait_for(lock, hangLimit_, [&] { return !wedged(); }))
        ++hangs_;
    // Closing ends what is still pending on the handle.
    if (writing_ && !wedged())
        Complete(transfers_.at(writing_), ERROR_OPERATION_ABORTED, 0);
    if (wait_)
        CompleteWait(0, ERROR_OPERATION_ABORTED);
    open_ = false;
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::ReadFile(HANDLE device, void* buffer, DWORD count, OVERLAPPED& transfer)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("ReadFile", device))
        return error;
    Transfer read{Kind::Read};
    read.event = transfer.hEvent;
    read.buffer = static_cast<char*>(buffer);
    read.count = count;
    read.id = ++transfersStarted_;
    read.due = Clock::now() + readDelay_;
    ::ResetEvent(transfer.hEvent);
    transfers_[&transfer] = read;
    if (readDelay_.count() > 0) {
        changed_.notify_all();
        return ERROR_IO_PENDING;
    }
    Advance(read.due);
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::WriteFile(HANDLE device, const void* bytes, DWORD count, OVERLAPPED& transfer)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("WriteFile", device))
        return error;
    if (writing_)
        return ERROR_INVALID_PARAMETER; // one write at a time is all the line ever makes
    ::ResetEvent(transfer.hEvent);
    const auto now = Clock::now();
    Transfer write{Kind::Write};
    write.event = transfer.hEvent;
    write.first = bytes_.size();
    write.count = count;
    const auto perByte = std::chrono::milliseconds(timeouts_.WriteTotalTimeoutMultiplier);
    const auto constant = std::chrono::milliseconds(timeouts_.WriteTotalTimeoutConstant);
    if (perByte.count() || constant.count())
        write.deadline = now + perByte * count + constant;
    for (DWORD i = 0; i < count; ++i)
        bytes_.push_back({static_cast<const char*>(bytes)[i], now});
    write.wedged = wedgeWrites_;
    transfers_[&transfer] = write;
    writing_ = &transfer;
    Schedule(now);
    Advance(now);
    changed_.notify_all();
    return ERROR_IO_PENDING;
}

DWORD ScriptedComm::WaitCommEvent(HANDLE device, DWORD& events, OVERLAPPED& transfer)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("WaitCommEvent", device))
        return error;
    ++waitsStarted_;
    if (refuseWaits_)
        return refuseWaits_;
    // Microsoft's IOCTL_SERIAL_WAIT_ON_MASK page: a second wait while one is pending is an
    // invalid parameter.
    if (wait_)
        return ERROR_INVALID_PARAMETER;
    ::ResetEvent(transfer.hEvent);
    Transfer wait{Kind::Wait};
    wait.event = transfer.hEvent;
    wait.events = &events;
    wait.id = ++transfersStarted_;
    AtThreadEnd([comm = weak_from_this(), record = &transfer, id = wait.id] {
        if (const auto alive = comm.lock())
            alive->ThreadEnded(record, id);
    });
    transfers_[&transfer] = wait;
    wait_ = &transfer;
    if (abortEveryWait_ || std::exchange(abortNextWait_, false))
        CompleteWait(0, ERROR_OPERATION_ABORTED);
    else if (eventsSeen_)
        CompleteWait(std::exchange(eventsSeen_, 0), ERROR_SUCCESS);
    return ERROR_IO_PENDING;
}

DWORD ScriptedComm::GetOverlappedResult(HANDLE, OVERLAPPED& transfer, DWORD& moved, bool wait)
{
    std::unique_lock lock(mutex_);
    calls_.push_back({wait ? "GetOverlappedResult(wait)" : "GetOverlappedResult", Clock::now()});
    auto found = transfers_.find(&transfer);
    if (found == transfers_.end())
        return ERROR_INVALID_PARAMETER;
    if (found->second.pending && wait) {
        const HANDLE event = found->second.event;
        const auto limit = hangLimit_;
        lock.unlock();
        ::WaitForSingleObject(event, static_cast<DWORD>(limit.count()));
        lock.lock();
        found = transfers_.find(&transfer);
        if (found == transfers_.end())
            return ERROR_INVALID_PARAMETER;
        if (found->second.pending) {
            // Its caller gives up on it: the record is forgotten, so that nothing writes into
            // memory that may be gone.
            ++hangs_;
            if (wait_ == &transfer)
                wait_ = nullptr;
            if (writing_ == &transfer)
                writing_ = nullptr;
            transfers_.erase(found);
            return ERROR_IO_INCOMPLETE;
        }
    }
    if (found->second.pending)
        return ERROR_IO_INCOMPLETE;
    moved = found->second.moved;
    return found->second.error;
}

DWORD ScriptedComm::CancelIoEx(HANDLE, OVERLAPPED& transfer)
{
    std::lock_guard lock(mutex_);
    calls_.push_back({"CancelIoEx", Clock::now()});
    const auto found = transfers_.find(&transfer);
    if (found == transfers_.end() || !found->second.pending)
        return ERROR_NOT_FOUND;
    Cancel(found->second);
    return ERROR_SUCCESS;
}

bool ScriptedComm::Cancel(Transfer& transfer)
{
    if (transfer.kind == Kind::Wait) {
        if (!ignoreCancel_)
            CompleteWait(0, ERROR_OPERATION_ABORTED);
        return !ignoreCancel_;
    }
    if (transfer.kind == Kind::Read) {
        Complete(transfer, ERROR_OPERATION_ABORTED, 0);
        return true;
    }
    if (transfer.wedged)
        return false;
    const auto now = Clock::now();
    DWORD handed = 0;
    for (std::size_t i = transfer.first; i < transfer.first + transfer.count; ++i) {
        Byte& byte = bytes_[i];
        if (byte.inFifo <= now)
            ++handed;
        else
            byte.cut = true;
    }
    Complete(transfer, ERROR_OPERATION_ABORTED, handed);
    return true;
}

void ScriptedComm::ThreadEnded(OVERLAPPED* transfer, std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    const auto found = transfers_.find(transfer);
    if (found != transfers_.end() && found->second.id == id && found->second.pending)
        Cancel(found->second);
}

DWORD ScriptedComm::SetCommMask(HANDLE device, DWORD mask)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("SetCommMask", device, mask))
        return error;
    mask_ = mask;
    eventsSeen_ &= mask;
    // The documented way to end a pending wait.
    if (wait_ && !ignoreMaskChange_)
        CompleteWait(0, ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::ClearCommError(HANDLE device, DWORD& errors, COMSTAT& status)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("ClearCommError", device))
        return error;
    errors = std::exchange(lineErrors_, 0);
    status = {};
    status.cbInQue = static_cast<DWORD>(input_.size());
    status.cbOutQue = static_cast<DWORD>(QueuedAt(Clock::now()));
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::PurgeComm(HANDLE device, DWORD flags)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("PurgeComm", device, flags))
        return error;
    const auto now = Clock::now();
    if (writing_ && transfers_.at(writing_).wedged)
        return ERROR_SUCCESS;
    if ((flags & PURGE_TXABORT) && writing_) {
        Transfer& write = transfers_.at(writing_);
        DWORD handed = 0;
        for (std::size_t i = write.first; i < write.first + write.count; ++i)
            handed += bytes_[i].inFifo <= now;
        Complete(write, ERROR_OPERATION_ABORTED, handed);
    }
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
        for (Byte& byte : bytes_) {
            if (byte.cut || byte.leaves <= now)
                continue;
            byte.cut = true;
            cutInFifo_ += byte.inFifo <= now;
        }
    }
    if (flags & PURGE_RXCLEAR)
        input_.clear();
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::GetCommState(HANDLE device, DCB& state)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("GetCommState", device))
        return error;
    state = state_;
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::SetCommState(HANDLE device, const DCB& state)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("SetCommState", device))
        return error;
    const auto now = Clock::now();
    for (const Byte& byte : bytes_)
        sentAtChangedSettings_ += !byte.cut && byte.leaves > now;
    state_ = state;
    Schedule(now);
    changed_.notify_all();
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::SetCommTimeouts(HANDLE device, const COMMTIMEOUTS& timeouts)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("SetCommTimeouts", device))
        return error;
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::SetupComm(HANDLE device, DWORD, DWORD)
{
    std::lock_guard lock(mutex_);
    return Enter("SetupComm", device);
}

DWORD ScriptedComm::EscapeCommFunction(HANDLE device, DWORD function)
{
    std::lock_guard lock(mutex_);
    return Enter("EscapeCommFunction", device, function);
}

DWORD ScriptedComm::GetCommModemStatus(HANDLE device, DWORD& lines)
{
    std::lock_guard lock(mutex_);
    if (const DWORD error = Enter("GetCommModemStatus", device))
        return error;
    lines = modemLines_;
    return ERROR_SUCCESS;
}

DWORD ScriptedComm::WaitForAny(const HANDLE* objects, DWORD count, DWORD timeoutMs)
{
    DWORD limit = timeoutMs;
    if (timeoutMs == INFINITE) {
        std::lock_guard lock(mutex_);
        limit = static_cast<DWORD>(hangLimit_.count());
    }
    const DWORD woken = ::WaitForMultipleObjects(count, objects, FALSE, limit);
    if (woken == WAIT_TIMEOUT && timeoutMs == INFINITE) {
        std::lock_guard lock(mutex_);
        ++hangs_;
    }
    return woken;
}
