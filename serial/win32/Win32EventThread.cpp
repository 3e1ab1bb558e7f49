#include "serial/win32/Win32EventThread.h"

#include "serial/win32/Win32Line.h"
#include "serial/win32/WinHandle.h"

#include <QCoreApplication>

#include <array>
#include <mutex>
#include <system_error>

namespace {

constexpr DWORD kSampleEveryMs = 10;
// How long a pending wait has to end after a new mask (drivers end it within the call; wine
// does not), and again after a cancel.
constexpr DWORD kMaskEndsWaitMs = 50;
constexpr DWORD kEndWaitMs = 200;
// How long the owner waits for the thread to end: past its own bounds, it is left to end.
constexpr DWORD kEndsWithinMs = 500;
// A device that has never waited for events and ends this many waits aborted in a row cannot
// wait at all (wine on a pseudo-terminal). usbser.sys ends waits so now and then, nobody having
// cancelled them, and those are waited again.
constexpr int kAbortsInARow = 3;

// The change events of the modem lines that differ between two readings.
std::uint32_t ModemChanges(DWORD before, DWORD now)
{
    const DWORD changed = before ^ now;
    return (changed & MS_CTS_ON ? ComEvent::CTS : 0) | (changed & MS_DSR_ON ? ComEvent::DSR : 0) |
           (changed & MS_RING_ON ? ComEvent::Ring : 0) |
           (changed & MS_RLSD_ON ? ComEvent::RLSD : 0);
}

} // namespace

// The thread's side: everything it touches, kept alive by the thread as long as it runs.
class Win32EventThread::Worker {
public:
    Worker(std::shared_ptr<LineState> line, const ComLine::EventSettings& settings,
           ComLine::EventReports reports, EventHandOver& handOver)
        : line_(std::move(line)), synchronize_(settings.synchronize),
          reports_(std::move(reports)), mask_(settings.mask), priority_(settings.priority),
          handOver_(&handOver)
    {
    }

    bool Usable() const { return wake_.valid() && ended_.valid() && wait_->done.valid(); }
    // On the user-interface thread, before the thread starts.
    void Prepare(std::uint32_t mask);
    void Run();

    // --- the owner's side ---
    void SetMask(std::uint32_t mask)
    {
        mask_ = mask;
        ::SetEvent(wake_.get());
    }
    void SetPriority(TThreadPriority priority)
    {
        priority_ = priority;
        ::SetEvent(wake_.get());
    }
    void Lost(DWORD error, const char* operation);
    void Terminate()
    {
        terminate_ = true;
        ::SetEvent(wake_.get());
    }
    // Whether the thread can be joined without waiting for a driver: it has ended its run
    // within the bound and left no wait behind.
    bool Joinable() const
    {
        return ::WaitForSingleObject(ended_.get(), kEndsWithinMs) == WAIT_OBJECT_0 && !leftAWait_;
    }
    // The owner goes: nothing is handed over any more.
    void Orphan()
    {
        const std::lock_guard lock(outlet_);
        handOver_ = nullptr;
    }

private:
    // A wait's record and what it found.
    struct PendingWait {
        OVERLAPPED overlapped{};
        DWORD events = 0;
        WinHandle done = NewEvent(true, false);
    };

    bool Ending() const { return terminate_ || anyLost_; }
    // One turn of waiting in WaitCommEvent; false once the thread is to end.
    bool Wait(bool& sampling);
    // A wait that ended with events, or with an error; false once the thread is to end.
    bool Found(DWORD events);
    bool Ended(DWORD error, bool& sampling);
    // Ends the pending wait, within a bound, setting `mask` to end it.
    void EndWait(std::uint32_t mask);
    // Whether a wait given up earlier is still pending at the driver.
    bool GivenUpPending();
    // One look at the queues and modem lines; false once the thread is to end.
    bool Sample();
    // The modem lines' changes since the last reading (none where a device has no such lines).
    std::uint32_t ModemLinesChanged();
    void Dispatch(std::uint32_t events);
    void Fail(DWORD error, const char* operation);
    void Post(std::function<void()> call, bool wait);
    void ApplyPriority();

    std::shared_ptr<LineState> line_;
    const bool synchronize_;
    const ComLine::EventReports reports_;
    std::atomic<std::uint32_t> mask_;
    std::atomic<TThreadPriority> priority_;
    std::atomic<bool> terminate_{false};
    std::mutex lostMutex_;
    DWORD lost_ = 0;
    const char* lostOperation_ = "";
    std::atomic<bool> anyLost_{false};
    WinHandle wake_ = NewEvent(false, false); // a new mask or priority, a lost device, the end
    WinHandle ended_ = NewEvent(true, false); // the run is over
    std::mutex outlet_;
    EventHandOver* handOver_; // null once the owner has gone

    // The thread's own.
    std::unique_ptr<PendingWait> wait_ = std::make_unique<PendingWait>();
    bool pending_ = false;
    std::atomic<bool> leftAWait_{false};
    std::uint32_t maskSet_ = 0;
    int aborts_ = 0; // waits in a row that ended aborted though nobody cancelled them
    DWORD modemLines_ = 0;
    DWORD lastInput_ = 0;
    unsigned writesSeen_ = 0;
};

std::unique_ptr<Win32EventThread> Win32EventThread::Start(std::shared_ptr<LineState> line,
                                                      const ComLine::EventSettings& settings,
                                                      ComLine::EventReports reports)
{
    if (!QCoreApplication::instance())
        return nullptr;
    std::unique_ptr<Win32EventThread> thread(new Win32EventThread(nullptr));
    auto worker =
        std::make_shared<Worker>(std::move(line), settings, std::move(reports), thread->handOver_);
    if (!worker->Usable())
        return nullptr;
    // Here, before the caller goes on: an event right after opening is an event.
    worker->Prepare(settings.mask);
    try {
        thread->thread_ = std::thread([worker] { worker->Run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    thread->worker_ = std::move(worker);
    return thread;
}

Win32EventThread::~Win32EventThread()
{
    if (!worker_)
        return; // never started
    worker_->Terminate();
    handOver_.Stop();
    // Never called on the thread itself: no handler runs there.
    if (worker_->Joinable())
        thread_.join();
    else
        thread_.detach();
    worker_->Orphan();
}

void Win32EventThread::SetMask(std::uint32_t mask) { worker_->SetMask(mask); }
void Win32EventThread::SetPriority(TThreadPriority priority) { worker_->SetPriority(priority); }
void Win32EventThread::Lost(DWORD error, const char* operation) { worker_->Lost(error, operation); }

void Win32EventThread::Worker::Prepare(std::uint32_t mask)
{
    maskSet_ = mask;
    if (line_->api->SetCommMask(line_->device, mask) != ERROR_SUCCESS)
        maskSet_ = 0; // the first wait meets the refusal and samples instead
    // What the lines look like now is the starting point for changes.
    ModemLinesChanged();
}

void Win32EventThread::Worker::Lost(DWORD error, const char* operation)
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

void Win32EventThread::Worker::Run()
{
    ApplyPriority();
    bool sampling = maskSet_ == 0;
    while (!Ending() && (sampling ? Sample() : Wait(sampling))) {
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
    ::SetEvent(ended_.get());
}

bool Win32EventThread::Worker::Wait(bool& sampling)
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
    // A wait given up that its driver has ended since may have taken a modem line's change.
    if (line_->waitGivenUp && !GivenUpPending()) {
        if (const std::uint32_t changed = ModemLinesChanged() & mask_)
            Dispatch(changed);
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
        // serial.sys refuses a wait while another is pending: the one given up still is. The
        // line is looked at meanwhile.
        if (error == ERROR_INVALID_PARAMETER && GivenUpPending())
            return Sample();
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
    if (!Ending() && mask_ != maskSet_)
        EndWait(mask_);
    return true;
}

bool Win32EventThread::Worker::Found(DWORD events)
{
    line_->waitsWork = true;
    aborts_ = 0;
    if (terminate_)
        return false;
    // The lines' state, read as the event comes, is the starting point for the next change.
    if (events & ComEvent::ModemLines)
        ModemLinesChanged();
    events &= mask_;
    if (events)
        Dispatch(events);
    return true;
}

bool Win32EventThread::Worker::Ended(DWORD error, bool& sampling)
{
    if (error == ERROR_OPERATION_ABORTED) {
        // Nobody cancelled it (this thread's own cancels are taken in EndWait). A device that
        // has gone fails the next call; one that has waited is waited again, a modem line that
        // changed meanwhile being a change all the same; one that never has is sampled once its
        // waits keep ending so.
        const bool waits = line_->waitsWork;
        const bool again = ++aborts_ < kAbortsInARow;
        if (!waits && again)
            return true;
        DWORD errors = 0;
        COMSTAT status{};
        if (const DWORD failed = line_->api->ClearCommError(line_->device, errors, status)) {
            Fail(failed, "ClearCommError");
            return false;
        }
        line_->errorsTaken.fetch_or(errors);
        if (!waits) {
            aborts_ = 0;
            sampling = true;
            return true;
        }
        if (const std::uint32_t changed = ModemLinesChanged() & mask_)
            Dispatch(changed);
        // Waits that keep ending at once are not waited again at once.
        const HANDLE wake = wake_.get();
        if (!again)
            line_->api->WaitForAny(&wake, 1, kSampleEveryMs);
        return true;
    }
    // A device that refuses its very first wait cannot wait for events at all (a pseudo-
    // terminal under wine): it is sampled from then on. A device that has gone fails.
    if (line_->waitsWork || Win32Line::Gone(error)) {
        Fail(error, "WaitCommEvent");
        return false;
    }
    sampling = true;
    return true;
}

void Win32EventThread::Worker::EndWait(std::uint32_t mask)
{
    CommApi& api = *line_->api;
    const bool masked = api.SetCommMask(line_->device, mask) == ERROR_SUCCESS;
    if (masked)
        maskSet_ = mask;
    const HANDLE done = wait_->done.get();
    if (!masked || api.WaitForAny(&done, 1, kMaskEndsWaitMs) != WAIT_OBJECT_0) {
        api.CancelIoEx(line_->device, wait_->overlapped);
        if (api.WaitForAny(&done, 1, kEndWaitMs) != WAIT_OBJECT_0) {
            // Given up: its driver may still write to the record and signal its event.
            line_->waitGivenUp = wait_.release()->done.get();
            wait_ = std::make_unique<PendingWait>();
            pending_ = false;
            leftAWait_ = true;
            return;
        }
    }
    DWORD unused = 0;
    const DWORD error = api.GetOverlappedResult(line_->device, wait_->overlapped, unused, false);
    pending_ = false;
    // What it found before it ended is news all the same.
    const std::uint32_t events = error ? 0 : wait_->events & mask_;
    if (events && !Ending())
        Dispatch(events);
}

bool Win32EventThread::Worker::GivenUpPending()
{
    const HANDLE givenUp = line_->waitGivenUp;
    if (!givenUp)
        return false;
    if (::WaitForSingleObject(givenUp, 0) != WAIT_OBJECT_0)
        return true;
    line_->waitGivenUp = nullptr; // its record stays: its driver has let go, nobody else knows
    return false;
}

bool Win32EventThread::Worker::Sample()
{
    CommApi& api = *line_->api;
    const HANDLE wake = wake_.get();
    if (api.WaitForAny(&wake, 1, kSampleEveryMs) == WAIT_OBJECT_0)
        ApplyPriority();
    if (Ending())
        return false;
    DWORD errors = 0;
    COMSTAT status{};
    if (const DWORD error = api.ClearCommError(line_->device, errors, status)) {
        Fail(error, "ClearCommError");
        return false;
    }
    const std::uint32_t mask = mask_;
    std::uint32_t found = ModemLinesChanged();
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
    if ((found & ComEvent::RxChar) && !Ending()) {
        // The handlers have read what they wanted: the next look measures from what is left.
        COMSTAT after{};
        if (api.ClearCommError(line_->device, errors, after) == ERROR_SUCCESS) {
            line_->errorsTaken.fetch_or(errors);
            lastInput_ = after.cbInQue;
        }
    }
    return !terminate_;
}

std::uint32_t Win32EventThread::Worker::ModemLinesChanged()
{
    DWORD lines = 0;
    if (line_->api->GetCommModemStatus(line_->device, lines) != ERROR_SUCCESS)
        return 0;
    return ModemChanges(std::exchange(modemLines_, lines), lines);
}

void Win32EventThread::Worker::Dispatch(std::uint32_t events)
{
    Post(
        [report = reports_.found, events] {
            const auto call = report; // the report may stop this thread
            call(events);
        },
        synchronize_);
}

void Win32EventThread::Worker::Fail(DWORD error, const char* operation)
{
    Post(
        [report = reports_.failed,
         failure = ComLine::Failure{static_cast<int>(error), Win32Line::KindOf(error), operation}] {
            const auto call = report;
            call(failure);
        },
        true);
}

void Win32EventThread::Worker::Post(std::function<void()> call, bool wait)
{
    // Held while the call is waited for: the owner stops the hand-over first, which lets the
    // wait go.
    const std::lock_guard lock(outlet_);
    if (handOver_)
        handOver_->Post(std::move(call), wait);
}

void Win32EventThread::Worker::ApplyPriority()
{
    static constexpr std::array<int, tpTimeCritical + 1> kLevels = {
        THREAD_PRIORITY_IDLE,   THREAD_PRIORITY_LOWEST,       THREAD_PRIORITY_BELOW_NORMAL,
        THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
        THREAD_PRIORITY_TIME_CRITICAL};
    ::SetThreadPriority(::GetCurrentThread(), kLevels[priority_]);
}
