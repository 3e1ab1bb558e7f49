#include "serial/win32/Win32Line.h"

#include "serial/ComSettings.h"
#include "serial/win32/Dcb.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <system_error>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// What a close gives the last line on top of its time on the line, and the longest it waits.
constexpr std::chrono::milliseconds kCloseAllowance{100};
constexpr std::chrono::milliseconds kLongestClose{1000};
// How long a close waits for the driver to let the device go before that finishes in the
// background.
constexpr std::chrono::milliseconds kLongestRelease{1000};
// Without time-outs a write still ends short this long after its bytes' own time on the line.
constexpr std::chrono::milliseconds kStalledLine{1000};
// How long a driver has to end a write after its time-out, and any transfer after a cancel.
constexpr std::chrono::milliseconds kWriteGrace{500};
constexpr DWORD kCancelMs = 200;
// Reads take what has arrived; a driver that holds one longer has it cancelled.
constexpr DWORD kReadMs = 100;
// A UART's FIFO: what may still be on its way when a write that flow control held has just
// ended. (An adapter's larger buffer is covered by the line's own time, unless flow control
// holds that too; a close never waits longer than kLongestClose.)
constexpr long long kFifoBytes = 16;

// Throws the failure of a call; "pending" is no failure.
void Check(DWORD error, const char* operation)
{
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING)
        return;
    throw ComLine::Failure{static_cast<int>(error), Win32Line::KindOf(error), operation};
}

// The same while the device is being opened: nothing has gone away yet, the system's own
// number says more.
void CheckOpening(DWORD error, const char* operation)
{
    if (error != ERROR_SUCCESS)
        throw ComLine::Failure{static_cast<int>(error), Win32Line::OpeningKindOf(error), operation};
}

// Errors with which a device without modem lines refuses calls about them.
bool NoSuchLines(DWORD error)
{
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER;
}

// How drivers end a write that ran out of time, besides a success with fewer bytes
// (serial.sys, FTDI): usbser.sys fails it with ERROR_SEM_TIMEOUT.
bool TimedOut(DWORD error) { return error == ERROR_SEM_TIMEOUT || error == ERROR_TIMEOUT; }

DWORD MillisecondsUntil(Clock::time_point until)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    return static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

DWORD Milliseconds(std::chrono::nanoseconds time)
{
    return static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(time).count());
}

} // namespace

bool Win32Line::Gone(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

TComErrorKind Win32Line::KindOf(DWORD error)
{
    if (Gone(error))
        return ekGone;
    if (TimedOut(error))
        return ekTimedOut;
    if (NoSuchLines(error))
        return ekUnsupported;
    return error == ERROR_BUSY ? ekBusy : ekOther;
}

TComErrorKind Win32Line::OpeningKindOf(DWORD error)
{
    // A port another process has open fails CreateFile ("Communications Resource Handles"),
    // with ERROR_ACCESS_DENIED.
    switch (error) {
    case ERROR_ACCESS_DENIED: return ekDenied;
    case ERROR_BUSY: case ERROR_SHARING_VIOLATION: return ekBusy;
    default: return TimedOut(error) ? ekTimedOut : ekOther;
    }
}

Win32Line::Win32Line(std::shared_ptr<CommApi> api, HANDLE device)
    : device_(api, device), state_(std::make_shared<LineState>()),
      writeDone_(NewEvent(true, true)), readDone_(NewEvent(true, true))
{
    if (!writeDone_.valid() || !readDone_.valid())
        throw Failure{static_cast<int>(::GetLastError()), ekOther, "CreateEvent"};
    state_->api = std::move(api);
    state_->device = device_.get();
    state_->writeDone = writeDone_.get();
    CheckOpening(Api().PurgeComm(Device(), PURGE_RXABORT | PURGE_RXCLEAR), "PurgeComm");
    CheckOpening(Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR), "PurgeComm");
    // Put back at close, so that the next program finds the line as it was.
    DCB found{};
    found.DCBlength = sizeof found;
    CheckOpening(Api().GetCommState(Device(), found), "GetCommState");
    saved_ = found;
    wire_ = WireTimeOf(found);
    // Reads take what has arrived and never wait; each write sets its own time-outs.
    ApplyTimeouts({MAXDWORD, 0, 0, 0, 0});
    Status();
    errors_ = 0; // what came before the opening is no news
}

Win32Line::~Win32Line() { Close(); }

void Win32Line::Close()
{
    if (!device_.valid())
        return;
    StopEvents();
    // The last line leaves first, for its time on the line and a small allowance, but never
    // longer than a second; what is left then is thrown away. Only then do the settings found
    // at open come back: bytes still in the FIFO would leave in another frame.
    const auto now = Clock::now();
    Settle(std::min(now + kLongestClose, std::max(now, LineFree()) + kCloseAllowance));
    // The rest runs on a thread of its own, left to finish in the background after a bound: a
    // driver whose device has gone may hold any call, CloseHandle too. Nothing here calls into
    // the device from now on.
    state_->device = nullptr;
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> done = closed->get_future();
    auto letGo = [api = state_->api, device = device_.release(), saved = saved_, closed] {
        api->PurgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
        if (saved)
            api->SetCommState(device, *saved);
        api->CloseHandle(device);
        closed->set_value();
    };
    std::thread closer;
    try {
        closer = std::thread(letGo);
    } catch (const std::system_error&) {
        letGo();
        return;
    }
    if (done.wait_for(kLongestRelease) == std::future_status::ready)
        closer.join();
    else
        closer.detach();
}

// --- settings ---

void Win32Line::Configure(const LineSettings& settings)
{
    // New settings take effect on every byte still to go: the line on its way goes out first,
    // at the settings it was written with. What became of it is kept for the next WaitWrite.
    if (write_ && !rest_ && !EndWrite(MillisecondsUntil(writeEndsBy_))) {
        ThrowAwayOutput();
        outcome_.timedOut = true;
    }
    const auto now = Clock::now();
    Settle(std::min(now + kLongestClose, std::max(now, LineFree()) + kCloseAllowance));
    DCB record{};
    record.DCBlength = sizeof record;
    Check(Api().GetCommState(Device(), record), "GetCommState");
    CopyToDcb(settings, record);
    Check(Api().SetCommState(Device(), record), "SetCommState");
    wire_ = WireTimeOf(record);
}

void Win32Line::SetBufferSizes(std::int32_t input, std::int32_t output)
{
    Check(Api().SetupComm(Device(), static_cast<DWORD>(std::max(0, input)),
                          static_cast<DWORD>(std::max(0, output))),
          "SetupComm");
}

void Win32Line::ApplyTimeouts(const COMMTIMEOUTS& timeouts)
{
    if (applied_ && std::memcmp(&*applied_, &timeouts, sizeof timeouts) == 0)
        return;
    Check(Api().SetCommTimeouts(Device(), timeouts), "SetCommTimeouts");
    applied_ = timeouts;
}

// --- writing ---

std::optional<ComLine::Failure> Win32Line::StartWrite(std::string_view bytes,
                                                      const TTimeouts& timeouts)
{
    writeMultiplier_ = static_cast<DWORD>(std::max(0, timeouts.WriteMultiplier()));
    writeConstant_ = static_cast<DWORD>(std::max(0, timeouts.WriteConstant()));
    rest_ = false;
    if (const int error = Send(std::string(bytes)))
        return Failure{error, KindOf(static_cast<DWORD>(error)), "WriteFile"};
    return std::nullopt;
}

int Win32Line::Send(std::string bytes)
{
    const auto count = static_cast<long long>(bytes.size());
    // A write that merely waits for a slow line gets that time on top of its allowance: the
    // driver counts its time-out from the start of the write, not from when the line is free.
    const DWORD perByte = wire_.Known() ? Milliseconds(wire_.Of(1)) : 0;
    COMMTIMEOUTS record{MAXDWORD, 0, 0, writeMultiplier_ + perByte, writeConstant_};
    // No write waits without bound: a line that flow control holds for good would freeze its
    // caller.
    if (writeMultiplier_ == 0 && writeConstant_ == 0) {
        record.WriteTotalTimeoutMultiplier = 0;
        record.WriteTotalTimeoutConstant = Milliseconds(wire_.Of(count) + kStalledLine);
    }
    try {
        ApplyTimeouts(record);
    } catch (const Failure& failure) {
        return failure.error;
    }
    if (!writeDone_.valid())
        return ERROR_INVALID_HANDLE; // no new event after a write was given up
    auto transfer = std::make_unique<Transfer>();
    transfer->bytes = std::move(bytes);
    transfer->overlapped.hEvent = writeDone_.get();
    ::ResetEvent(writeDone_.get());
    const auto now = Clock::now();
    ++state_->writesStarted;
    const DWORD error = Api().WriteFile(Device(), transfer->bytes.data(),
                                        static_cast<DWORD>(count), transfer->overlapped);
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) {
        ::SetEvent(writeDone_.get());
        return static_cast<int>(error);
    }
    write_ = std::move(transfer);
    cancelled_ = false;
    writeEndsBy_ = now + std::chrono::milliseconds(record.WriteTotalTimeoutMultiplier * count +
                                                   record.WriteTotalTimeoutConstant) +
                   kWriteGrace;
    lineFreeAt_ = std::max(now, lineFreeAt_) + wire_.Of(count);
    return 0;
}

bool Win32Line::EndWrite(DWORD timeoutMs)
{
    if (!write_)
        return true;
    const HANDLE done = writeDone_.get();
    if (Api().WaitForAny(&done, 1, timeoutMs) != WAIT_OBJECT_0)
        return false;
    DWORD moved = 0;
    const DWORD error = Api().GetOverlappedResult(Device(), write_->overlapped, moved, false);
    if (error == ERROR_IO_INCOMPLETE)
        return false;
    const std::unique_ptr<Transfer> ended = std::move(write_);
    lastEnded_ = Clock::now();
    lastSize_ = ended->bytes.size();
    const bool rest = std::exchange(rest_, false);
    // A write we threw away has ended, however its driver ended it.
    if (cancelled_ || (error == ERROR_SUCCESS && moved >= ended->bytes.size()))
        return true;
    if (error == ERROR_SUCCESS || TimedOut(error)) {
        EndedShort(ended->bytes, moved, rest);
        return true;
    }
    outcome_.error = static_cast<int>(error);
    outcome_.kind = KindOf(error);
    outcome_.operation = "WriteFile";
    return true;
}

void Win32Line::EndedShort(const std::string& bytes, DWORD moved, bool rest)
{
    outcome_.timedOut = true;
    // None of a line has left: it is thrown away whole. Some has: its rest goes after it,
    // however long the line takes, or the far end would take half a line and the next one for
    // one.
    if ((moved == 0 && !rest) || moved >= bytes.size())
        return;
    if (const int error = Send(bytes.substr(moved))) {
        outcome_.error = error;
        outcome_.kind = KindOf(static_cast<DWORD>(error));
        outcome_.operation = "WriteFile";
        return;
    }
    rest_ = true;
}

ComLine::WriteOutcome Win32Line::WaitWrite()
{
    if (rest_) {
        // The rest of a line that ended short is on its way: the caller's next line is not to
        // be made yet.
        EndWrite(0);
        if (write_) {
            WriteOutcome outcome = std::exchange(outcome_, {});
            outcome.timedOut = true;
            return outcome;
        }
    } else if (write_ && !EndWrite(MillisecondsUntil(writeEndsBy_))) {
        // The driver lets it run past its time-out.
        ThrowAwayOutput();
        outcome_.timedOut = true;
    }
    return std::exchange(outcome_, {});
}

DWORD Win32Line::ThrowAwayOutput()
{
    cancelled_ = true;
    const DWORD error = Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR);
    if (write_ && !EndWrite(kCancelMs)) {
        Api().CancelIoEx(Device(), write_->overlapped);
        if (!EndWrite(kCancelMs)) {
            GiveUp(std::move(write_), writeDone_);
            state_->writeDone = writeDone_.get();
        }
    }
    rest_ = false;
    lineFreeAt_ = Clock::now();
    return error;
}

void Win32Line::GiveUp(std::unique_ptr<Transfer> transfer, WinHandle& done)
{
    // Its driver may still write to the record and the bytes, and signal the event.
    (void)transfer.release();
    (void)done.release();
    done = NewEvent(true, true);
}

void Win32Line::PurgeOutput()
{
    const DWORD error = ThrowAwayOutput();
    outcome_ = {};
    Check(error, "PurgeComm");
}

void Win32Line::Settle(Clock::time_point by)
{
    // A rest that follows a write is the write in progress then.
    while (write_ && EndWrite(MillisecondsUntil(by))) {
    }
    if (write_) {
        ThrowAwayOutput();
        return;
    }
    // The driver's queue, then what it does not count: the FIFO, an adapter's buffer.
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (Api().ClearCommError(Device(), errors, status) != ERROR_SUCCESS)
            return; // a device that has gone carries nothing more
        errors_ |= errors;
        if (status.cbOutQue == 0 || Clock::now() >= by)
            break;
        const auto drain = std::max<std::chrono::nanoseconds>(wire_.Of(status.cbOutQue), 1ms);
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(drain, by - Clock::now()));
    }
    // One byte more: the rate is the DCB's, a UART's clock is not exact.
    const auto free = std::min(by, LineFree() + wire_.Of(1));
    if (free > Clock::now())
        std::this_thread::sleep_until(free);
}

Win32Line::Clock::time_point Win32Line::LineFree() const
{
    if (lastSize_ == 0)
        return lineFreeAt_;
    const auto fifo = wire_.Of(std::min(kFifoBytes, static_cast<long long>(lastSize_)));
    return std::max(lineFreeAt_, lastEnded_ + fifo);
}

// --- reading ---

void Win32Line::Lose(DWORD error, const char* operation)
{
    if (Gone(error) && thread_) {
        thread_->Lost(error, operation);
        return;
    }
    throw Failure{static_cast<int>(error), KindOf(error), operation};
}

COMSTAT Win32Line::Status()
{
    if (!Device())
        return {}; // closed: a device being let go is not asked
    DWORD errors = 0;
    COMSTAT status{};
    if (const DWORD error = Api().ClearCommError(Device(), errors, status)) {
        Lose(error, "ClearCommError");
        return {};
    }
    errors_ |= errors;
    return status;
}

int Win32Line::InputCount() { return static_cast<int>(Status().cbInQue); }

int Win32Line::Read(void* buffer, int count)
{
    if (!Device())
        return 0;
    if (!readDone_.valid())
        throw Failure{static_cast<int>(::GetLastError()), ekOther, "CreateEvent"};
    auto read = std::make_unique<Transfer>();
    read->bytes.resize(static_cast<std::size_t>(std::max(0, count)));
    read->overlapped.hEvent = readDone_.get();
    ::ResetEvent(readDone_.get());
    DWORD error = Api().ReadFile(Device(), read->bytes.data(), static_cast<DWORD>(count),
                                 read->overlapped);
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) {
        Lose(error, "ReadFile");
        return 0;
    }
    const HANDLE done = readDone_.get();
    bool cancelled = false;
    if (Api().WaitForAny(&done, 1, kReadMs) != WAIT_OBJECT_0) {
        cancelled = true;
        Api().CancelIoEx(Device(), read->overlapped);
        if (Api().WaitForAny(&done, 1, kCancelMs) != WAIT_OBJECT_0) {
            GiveUp(std::move(read), readDone_);
            return 0;
        }
    }
    DWORD got = 0;
    error = Api().GetOverlappedResult(Device(), read->overlapped, got, false);
    // Cancelled above: what it had read by then is all there was.
    if (error == ERROR_OPERATION_ABORTED && cancelled)
        error = ERROR_SUCCESS;
    if (error) {
        Lose(error, "ReadFile");
        return 0;
    }
    got = std::min<DWORD>(got, static_cast<DWORD>(read->bytes.size()));
    std::memcpy(buffer, read->bytes.data(), got);
    return static_cast<int>(got);
}

TLineErrors Win32Line::TakeLineErrors()
{
    Status();
    const DWORD flags = std::exchange(errors_, 0) | state_->errorsTaken.exchange(0);
    TLineErrors errors;
    errors[leBreak] = flags & CE_BREAK;
    errors[leFrame] = flags & CE_FRAME;
    errors[leOverrun] = flags & CE_OVERRUN;
    errors[leParity] = flags & CE_RXPARITY;
    errors[leRxOver] = flags & CE_RXOVER;
    return errors;
}

// --- modem lines ---

void Win32Line::SetDTR()
{
    if (const DWORD error = Api().EscapeCommFunction(Device(), SETDTR);
        error && !NoSuchLines(error))
        Lose(error, "EscapeCommFunction");
}

TModemStatus Win32Line::ModemStatus()
{
    DWORD lines = 0;
    TModemStatus status;
    if (const DWORD error = Api().GetCommModemStatus(Device(), lines)) {
        if (!NoSuchLines(error))
            Lose(error, "GetCommModemStatus");
        return status;
    }
    status[msCTS] = lines & MS_CTS_ON;
    status[msDSR] = lines & MS_DSR_ON;
    status[msRing] = lines & MS_RING_ON;
    status[msRLSD] = lines & MS_RLSD_ON;
    return status;
}

// --- line events ---

bool Win32Line::StartEvents(const EventSettings& settings, EventReports reports)
{
    thread_ = Win32EventThread::Start(state_, settings, std::move(reports));
    return thread_ != nullptr;
}

void Win32Line::SetEventMask(std::uint32_t mask)
{
    if (thread_)
        thread_->SetMask(mask);
}

void Win32Line::SetEventPriority(TThreadPriority priority)
{
    if (thread_)
        thread_->SetPriority(priority);
}
