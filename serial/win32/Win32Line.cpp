#include "serial/win32/Win32Line.h"

#include "serial/ComSettings.h"
#include "serial/win32/Dcb.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// What a close gives the last line on top of its time on the line, and the longest it waits.
constexpr std::chrono::milliseconds kCloseAllowance{100};
constexpr std::chrono::milliseconds kLongestClose{1000};
// Without time-outs a write still ends short this long after its bytes' own time on the line.
constexpr std::chrono::milliseconds kStalledLine{1000};

// Throws the failure of a call; "pending" is no failure.
void Check(DWORD error, const char* operation)
{
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING)
        return;
    throw ComLine::Failure{Win32Line::Number(error), operation};
}

// Errors with which a device without modem lines refuses calls about them.
bool NoSuchLines(DWORD error)
{
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_PARAMETER;
}

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

int Win32Line::Number(DWORD error)
{
    switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return kGone;
    default:
        return static_cast<int>(error);
    }
}

Win32Line::Win32Line(std::shared_ptr<CommApi> api, HANDLE device)
    : device_(api, device), state_(std::make_shared<LineState>()),
      writeDone_(NewEvent(true, true)), readDone_(NewEvent(true, true))
{
    if (!writeDone_.valid() || !readDone_.valid())
        throw Failure{Number(::GetLastError()), "CreateEvent"};
    state_->api = std::move(api);
    state_->device = device_.get();
    state_->writeDone = writeDone_.get();
    Check(Api().PurgeComm(Device(), PURGE_RXABORT | PURGE_RXCLEAR), "PurgeComm");
    Check(Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR), "PurgeComm");
    // Put back at close, so that the next program finds the line as it was.
    DCB found{};
    found.DCBlength = sizeof found;
    Check(Api().GetCommState(Device(), found), "GetCommState");
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
    // longer than a second; what is left then is thrown away.
    const auto allowance = std::min<std::chrono::nanoseconds>(
        kLongestClose, wire_.Of(static_cast<long long>(copy_.size())) + kCloseAllowance);
    const auto by = Clock::now() + allowance;
    if (!EndWrite(MillisecondsUntil(by))) {
        Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR);
        EndWrite(INFINITE);
    }
    DWORD errors = 0;
    COMSTAT status{};
    while (Clock::now() < by && Api().ClearCommError(Device(), errors, status) == ERROR_SUCCESS &&
           status.cbOutQue)
        std::this_thread::sleep_for(10ms);
    Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    if (saved_)
        Api().SetCommState(Device(), *saved_);
    device_.reset();
    state_->device = nullptr;
}

// --- settings ---

void Win32Line::Configure(const LineSettings& settings)
{
    // New settings take effect on every byte still to go: the line on its way goes out first,
    // at the settings it was written with.
    EndWrite(INFINITE);
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

int Win32Line::StartWrite(std::string_view bytes, const TTimeouts& timeouts)
{
    COMMTIMEOUTS record{MAXDWORD, 0, 0, static_cast<DWORD>(std::max(0, timeouts.WriteMultiplier())),
                        static_cast<DWORD>(std::max(0, timeouts.WriteConstant()))};
    // No write waits without bound: a line that flow control holds for good would freeze its
    // caller.
    if (record.WriteTotalTimeoutMultiplier == 0 && record.WriteTotalTimeoutConstant == 0)
        record.WriteTotalTimeoutConstant =
            Milliseconds(wire_.Of(static_cast<long long>(bytes.size())) + kStalledLine);
    try {
        ApplyTimeouts(record);
    } catch (const Failure& failure) {
        return failure.error;
    }
    copy_.assign(bytes);
    write_ = {};
    write_.hEvent = writeDone_.get();
    ::ResetEvent(writeDone_.get());
    ++state_->writesStarted;
    const DWORD error =
        Api().WriteFile(Device(), copy_.data(), static_cast<DWORD>(copy_.size()), write_);
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING) {
        ::SetEvent(writeDone_.get());
        return Number(error);
    }
    writing_ = true;
    return 0;
}

bool Win32Line::EndWrite(DWORD timeoutMs)
{
    if (!writing_)
        return true;
    const HANDLE done = writeDone_.get();
    if (Api().WaitForAny(&done, 1, timeoutMs) != WAIT_OBJECT_0)
        return false;
    writing_ = false;
    DWORD moved = 0;
    if (const DWORD error = Api().GetOverlappedResult(Device(), write_, moved, false)) {
        // A purged write was thrown away on purpose.
        if (error != ERROR_OPERATION_ABORTED) {
            outcome_.error = Number(error);
            outcome_.operation = "WriteFile";
        }
    } else if (moved < copy_.size()) {
        outcome_.timedOut = true;
    }
    return true;
}

ComLine::WriteOutcome Win32Line::WaitWrite()
{
    EndWrite(INFINITE);
    return std::exchange(outcome_, {});
}

void Win32Line::PurgeOutput()
{
    Check(Api().PurgeComm(Device(), PURGE_TXABORT | PURGE_TXCLEAR), "PurgeComm");
    EndWrite(INFINITE);
    outcome_ = {};
}

// --- reading ---

COMSTAT Win32Line::Status()
{
    DWORD errors = 0;
    COMSTAT status{};
    Check(Api().ClearCommError(Device(), errors, status), "ClearCommError");
    errors_ |= errors;
    return status;
}

int Win32Line::InputCount() { return static_cast<int>(Status().cbInQue); }

int Win32Line::Read(void* buffer, int count)
{
    OVERLAPPED read{};
    read.hEvent = readDone_.get();
    ::ResetEvent(read.hEvent);
    Check(Api().ReadFile(Device(), buffer, static_cast<DWORD>(count), read), "ReadFile");
    DWORD got = 0;
    Check(Api().GetOverlappedResult(Device(), read, got, true), "ReadFile");
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
    if (const DWORD error = Api().EscapeCommFunction(Device(), SETDTR); !NoSuchLines(error))
        Check(error, "EscapeCommFunction");
}

TModemStatus Win32Line::ModemStatus()
{
    DWORD lines = 0;
    TModemStatus status;
    if (const DWORD error = Api().GetCommModemStatus(Device(), lines)) {
        if (NoSuchLines(error))
            return status;
        Check(error, "GetCommModemStatus");
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
    thread_ = ComEventThread::Start(state_, settings, std::move(reports));
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
