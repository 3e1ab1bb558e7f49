#include "serial/win32/ComEventThread.h"

#include "serial/win32/Win32Line.h"

#include <QCoreApplication>

#include <array>
#include <system_error>

namespace {

constexpr DWORD kSampleEveryMs = 10;

} // namespace

std::unique_ptr<ComEventThread> ComEventThread::Start(std::shared_ptr<LineState> line,
                                                      const ComLine::EventSettings& settings,
                                                      ComLine::EventReports reports)
{
    if (!QCoreApplication::instance())
        return nullptr;
    std::unique_ptr<ComEventThread> thread(
        new ComEventThread(std::move(line), settings, std::move(reports)));
    if (!thread->wake_.valid() || !thread->waitDone_.valid())
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

ComEventThread::ComEventThread(std::shared_ptr<LineState> line,
                               const ComLine::EventSettings& settings,
                               ComLine::EventReports reports)
    : line_(std::move(line)), synchronize_(settings.synchronize), reports_(std::move(reports)),
      mask_(settings.mask), priority_(settings.priority), wake_(NewEvent(false, false)),
      waitDone_(NewEvent(true, false))
{
}

ComEventThread::~ComEventThread()
{
    terminate_ = true;
    handOver_.Stop();
    ::SetEvent(wake_.get());
    // Never called on the thread itself: no handler runs there.
    if (thread_.joinable())
        thread_.join();
}

void ComEventThread::SetMask(std::uint32_t mask)
{
    mask_ = mask;
    ::SetEvent(wake_.get());
}

void ComEventThread::SetPriority(TThreadPriority priority)
{
    priority_ = priority;
    ::SetEvent(wake_.get());
}

void ComEventThread::Run()
{
    ApplyPriority();
    bool refused = maskSet_ == 0;
    while (!terminate_ && (refused ? Sample() : Wait(refused))) {
    }
}

bool ComEventThread::Wait(bool& refused)
{
    const std::uint32_t mask = mask_;
    CommApi& api = *line_->api;
    if (mask != maskSet_) {
        if (const DWORD error = api.SetCommMask(line_->device, mask)) {
            Fail(error, "SetCommMask");
            return false;
        }
        maskSet_ = mask;
    }
    DWORD events = 0;
    OVERLAPPED wait{};
    wait.hEvent = waitDone_.get();
    ::ResetEvent(wait.hEvent);
    // A device that refuses its very first wait cannot wait for events at all (a pseudo-
    // terminal under wine): it is sampled from then on. A device that has gone fails.
    auto refusedOrFailed = [&](DWORD error) {
        if (waited_ || Win32Line::Gone(error)) {
            Fail(error, "WaitCommEvent");
            return false;
        }
        refused = true;
        return true;
    };
    if (const DWORD error = api.WaitCommEvent(line_->device, events, wait)) {
        if (error != ERROR_IO_PENDING)
            return refusedOrFailed(error);
        const std::array<HANDLE, 2> handles = {wait.hEvent, wake_.get()};
        const DWORD woken = api.WaitForAny(handles.data(), 2, INFINITE);
        if (woken != WAIT_OBJECT_0) {
            // The pending wait is cancelled (a new mask would end it on Windows, not under wine);
            // the record is ours again once the wait has completed.
            api.CancelIoEx(line_->device, wait);
            DWORD unused = 0;
            api.GetOverlappedResult(line_->device, wait, unused, true);
            ApplyPriority();
            return !terminate_;
        }
        DWORD unused = 0;
        if (const DWORD failed = api.GetOverlappedResult(line_->device, wait, unused, false))
            return refusedOrFailed(failed);
    }
    waited_ = true;
    if (terminate_)
        return false;
    events &= mask_;
    if (events)
        Dispatch(events);
    return true;
}

bool ComEventThread::Sample()
{
    CommApi& api = *line_->api;
    const HANDLE wake = wake_.get();
    if (api.WaitForAny(&wake, 1, kSampleEveryMs) == WAIT_OBJECT_0) {
        ApplyPriority();
        if (terminate_)
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
    if (writes != writesSeen_ && status.cbOutQue == 0 &&
        api.WaitForAny(&line_->writeDone, 1, 0) == WAIT_OBJECT_0) {
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

void ComEventThread::Dispatch(std::uint32_t events)
{
    handOver_.Post(
        [this, events] {
            const auto report = reports_.found; // the report may stop this thread
            report(events);
        },
        synchronize_);
}

void ComEventThread::Fail(DWORD error, const char* operation)
{
    const int number = Win32Line::Number(error);
    handOver_.Post(
        [this, number, operation] {
            const auto report = reports_.failed;
            report(number, operation);
        },
        true);
}

void ComEventThread::ApplyPriority()
{
    static constexpr std::array<int, tpTimeCritical + 1> kLevels = {
        THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
        THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
        THREAD_PRIORITY_TIME_CRITICAL};
    ::SetThreadPriority(::GetCurrentThread(), kLevels[priority_]);
}
