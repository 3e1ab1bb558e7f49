#include "serial/win32/Win32EventThread.h"

#include "serial/win32/Win32Line.h"

#include <QCoreApplication>

#include <array>
#include <system_error>

namespace {

constexpr DWORD kSampleEveryMs = 10;
// How long a pending wait has to end after a new mask (drivers end it within the call; wine
// does not), and again after a cancel.
constexpr DWORD kMaskEndsWaitMs = 50;
constexpr DWORD kEndWaitMs = 200;
// usbser.sys now and then ends a wait aborted that nobody cancelled: it is waited again. A device
// whose waits end so this often in a row cannot wait at all (wine on a pseudo-terminal).
constexpr int kAbortsInARow = 3;

} // namespace

std::unique_ptr<Win32EventThread> Win32EventThread::Start(std::shared_ptr<LineState> line,
                                                      const ComLine::EventSettings& settings,
                                                      ComLine::EventReports reports)
{
    if (!QCoreApplication::instance())
        return nullptr;
    std::unique_ptr<Win32EventThread> thread(
        new Win32EventThread(std::move(line), settings, std::move(reports)));
    if (!thread->wake_.valid() || !thread->wait_->done.valid())
        return nullptr;
    // Set here, before the caller goes on: an event right after opening is an event.
    thread->maskSet_ = settings.mask;
    if (thread->line_->api->SetCommMask(thread->line_->device, settings.mask) != ERROR_SUCCESS)
        thread->maskSet_ = 0; // the first wait meets the refusal and samples instead
    try {
        thread->thread_ = std::thread([raw = thread.get()] { raw->Run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return thread;
}

Win32EventThread::Win32EventThread(std::shared_ptr<LineState> line,
                               const ComLine::EventSettings& settings,
                               ComLine::EventReports reports)
    : line_(std::move(line)), synchronize_(settings.synchronize), reports_(std::move(reports)),
      mask_(settings.mask), priority_(settings.priority), wake_(NewEvent(false, false)),
      wait_(std::make_unique<PendingWait>())
{
}

Win32EventThread::~Win32EventThread()
{
    terminate_ = true;
    handOver_.Stop();
    ::SetEvent(wake_.get());
    // Never called on the thread itself: no handler runs there.
    if (thread_.joinable())
        thread_.join();
}

void Win32EventThread::SetMask(std::uint32_t mask)
{
    mask_ = mask;
    ::SetEvent(wake_.get());
}

void Win32EventThread::SetPriority(TThreadPriority priority)
{
    priority_ = priority;
    ::SetEvent(wake_.get());
}

void Win32EventThread::Lost(DWORD error, const char* operation)
{
    {
        std::lock_guard lock(lostMutex_);
        if (lost_)
            return;
        lost_ = error;
        lostOperation_ = operation;
    }
    anyLost_ = true;
    ::SetEvent(wake_.get());
}

void Win32EventThread::Run()
{
    ApplyPriority();
    bool sampling = maskSet_ == 0;
    while (!terminate_ && !anyLost_ && (sampling ? Sample() : Wait(sampling))) {
    }
    if (pending_)
        EndWait(0);
    if (anyLost_ && !terminate_) {
        DWORD error = 0;
        const char* operation = "";
        {
            std::lock_guard lock(lostMutex_);
            error = lost_;
            operation = lostOperation_;
        }
        Fail(error, operation);
    }
}

bool Win32EventThread::Wait(bool& sampling)
{
    CommApi& api = *line_->api;
    const std::uint32_t mask = mask_;
    if (mask != maskSet_) {
        if (const DWORD error = api.SetCommMask(line_->device, mask)) {
            Fail(error, "SetCommMask");
            return false;
        }
        maskSet_ = mask;
    }
    if (!pending_) {
        PendingWait& wait = *wait_;
        wait.overlapped = {};
        wait.overlapped.hEvent = wait.done.get();
        wait.events = 0;
        ::ResetEvent(wait.overlapped.hEvent);
        const DWORD error = api.WaitCommEvent(line_->device, wait.events, wait.overlapped);
        if (error == ERROR_SUCCESS)
            return Found(wait.events);
        if (error != ERROR_IO_PENDING)
            return Ended(error, sampling);
        pending_ = true;
    }
    const std::array<HANDLE, 2> handles = {wait_->done.get(), wake_.get()};
    const DWORD woken = api.WaitForAny(handles.data(), 2, INFINITE);
    if (woken == WAIT_FAILED) {
        Fail(::GetLastError(), "WaitForMultipleObjects");
        return false;
    }
    if (woken == WAIT_OBJECT_0) {
        DWORD unused = 0;
        const DWORD error = api.GetOverlappedResult(line_->device, wait_->overlapped, unused, false);
        if (error == ERROR_IO_INCOMPLETE)
            return true;
        pending_ = false;
        return error ? Ended(error, sampling) : Found(wait_->events);
    }
    // Woken. A new priority needs no new wait; a new mask ends this one, and so does the end
    // (on the way out).
    ApplyPriority();
    if (!terminate_ && !anyLost_ && mask_ != maskSet_)
        EndWait(mask_);
    return true;
}

bool Win32EventThread::Found(DWORD events)
{
    waited_ = true;
    aborts_ = 0;
    if (terminate_)
        return false;
    events &= mask_;
    if (events)
        Dispatch(events);
    return true;
}

bool Win32EventThread::Ended(DWORD error, bool& sampling)
{
    if (error == ERROR_OPERATION_ABORTED) {
        // Nobody cancelled it: this thread's own cancels are taken in EndWait.
        if (++aborts_ < kAbortsInARow)
            return true;
        aborts_ = 0;
        DWORD errors = 0;
        COMSTAT status{};
        if (const DWORD failed = line_->api->ClearCommError(line_->device, errors, status)) {
            Fail(failed, "ClearCommError");
            return false;
        }
        line_->errorsTaken.fetch_or(errors);
        sampling = true;
        return true;
    }
    // A device that refuses its very first wait cannot wait for events at all (a pseudo-
    // terminal under wine): it is sampled from then on. A device that has gone fails.
    if (waited_ || Win32Line::Gone(error)) {
        Fail(error, "WaitCommEvent");
        return false;
    }
    sampling = true;
    return true;
}

void Win32EventThread::EndWait(std::uint32_t mask)
{
    CommApi& api = *line_->api;
    const bool masked = api.SetCommMask(line_->device, mask) == ERROR_SUCCESS;
    if (masked)
        maskSet_ = mask;
    const HANDLE done = wait_->done.get();
    if (!masked || api.WaitForAny(&done, 1, kMaskEndsWaitMs) != WAIT_OBJECT_0) {
        api.CancelIoEx(line_->device, wait_->overlapped);
        if (api.WaitForAny(&done, 1, kEndWaitMs) != WAIT_OBJECT_0) {
            // Given up: its driver may still write to the record.
            (void)wait_.release();
            wait_ = std::make_unique<PendingWait>();
            pending_ = false;
            return;
        }
    }
    DWORD unused = 0;
    const DWORD error = api.GetOverlappedResult(line_->device, wait_->overlapped, unused, false);
    pending_ = false;
    // What it found before it ended is news all the same.
    const std::uint32_t events = error ? 0 : wait_->events & mask_;
    if (events && !terminate_ && !anyLost_)
        Dispatch(events);
}

bool Win32EventThread::Sample()
{
    CommApi& api = *line_->api;
    const HANDLE wake = wake_.get();
    if (api.WaitForAny(&wake, 1, kSampleEveryMs) == WAIT_OBJECT_0) {
        ApplyPriority();
        if (terminate_ || anyLost_)
            return false;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (const DWORD error = api.ClearCommError(line_->device, errors, status)) {
        Fail(error, "ClearCommError");
        return false;
    }
    const std::uint32_t mask = mask_;
    std::uint32_t found = 0;
    if (errors) {
        line_->errorsTaken.fetch_or(errors);
        found |= (errors & CE_BREAK) ? ComEvent::Break : 0;
        found |= (errors & ~CE_BREAK) ? ComEvent::Err : 0;
    }
    // Bytes are news when more are queued than at the last look; what a handler left unread
    // is not.
    if (status.cbInQue > lastInput_)
        found |= ComEvent::RxChar;
    lastInput_ = status.cbInQue;
    const unsigned writes = line_->writesStarted;
    const HANDLE writeDone = line_->writeDone;
    if (writes != writesSeen_ && status.cbOutQue == 0 &&
        api.WaitForAny(&writeDone, 1, 0) == WAIT_OBJECT_0) {
        writesSeen_ = writes;
        found |= ComEvent::TxEmpty;
    }
    found &= mask;
    if (found)
        Dispatch(found);
    if (found & ComEvent::RxChar) {
        // The handlers have read what they wanted: the next look measures from what is left.
        COMSTAT after{};
        if (api.ClearCommError(line_->device, errors, after) == ERROR_SUCCESS) {
            line_->errorsTaken.fetch_or(errors);
            lastInput_ = after.cbInQue;
        }
    }
    return !terminate_;
}

void Win32EventThread::Dispatch(std::uint32_t events)
{
    handOver_.Post(
        [this, events] {
            const auto report = reports_.found; // the report may stop this thread
            report(events);
        },
        synchronize_);
}

void Win32EventThread::Fail(DWORD error, const char* operation)
{
    const int number = Win32Line::Number(error);
    handOver_.Post(
        [this, number, operation] {
            const auto report = reports_.failed;
            report(number, operation);
        },
        true);
}

void Win32EventThread::ApplyPriority()
{
    static constexpr std::array<int, tpTimeCritical + 1> kLevels = {
        THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
        THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
        THREAD_PRIORITY_TIME_CRITICAL};
    ::SetThreadPriority(::GetCurrentThread(), kLevels[priority_]);
}
