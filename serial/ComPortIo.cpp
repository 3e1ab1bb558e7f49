// The port's transfers: writing in the background, reading what has arrived, the line-error
// check that goes with both, and the modem lines.
#include "serial/ComPort.h"

#include "os/SystemText.h"
#include "serial/ComLine.h"

#include <QPointer>

// --- writing ---

void TCustomComPort::WriteString(std::string_view text)
{
    CheckActive();
    WaitForWriteCompletion();
    if (!text.empty())
        CheckStart(text);
}

void TCustomComPort::WriteChar(char c) { WriteString(std::string_view(&c, 1)); }

void TCustomComPort::Write(const void* buffer, int count, bool waitOnCompletion)
{
    CheckActive();
    WaitForWriteCompletion();
    if (count <= 0)
        return;
    const std::string_view bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    CheckStart(bytes);
    if (waitOnCompletion)
        WaitForWriteCompletion();
}

void TCustomComPort::WaitForWriteCompletion()
{
    CheckActive();
    const ComLine::WriteOutcome outcome = line_->WaitWrite();
    CheckWrite(outcome.error, outcome.kind, outcome.operation);
    // A write that ended short loses bytes: say so, however long ago it ended.
    if (outcome.timedOut)
        RaiseError(0, "Timeout", ekTimedOut);
    CheckActive();
    CheckLineErrors();
}

void TCustomComPort::CheckStart(std::string_view bytes)
{
    if (const std::optional<ComLine::Failure> failed = line_->StartWrite(bytes, timeouts_))
        CheckWrite(failed->error, failed->kind, failed->operation);
}

void TCustomComPort::CheckWrite(int error, TComErrorKind kind, const char* operation)
{
    if (error == 0)
        return;
    // Reported with the port still open, as the event thread reports it.
    const std::uint64_t session = session_;
    const QPointer<TCustomComPort> alive(this);
    const std::string reason = SystemText(error);
    try {
        RaiseFrom(error, kind, reason, operation);
    } catch (...) {
        if (kind == ekGone)
            CloseGoneLine(alive, session, reason);
        throw;
    }
}

void TCustomComPort::PurgeOutput()
{
    if (GetActive())
        OnLine([this] { line_->PurgeOutput(); });
}

// --- reading ---

int TCustomComPort::InputCount()
{
    CheckActive();
    CheckLineErrors();
    int queued = 0;
    OnLine([&] { queued = line_->InputCount(); });
    return queued;
}

int TCustomComPort::Read(void* buffer, int count, bool /*waitOnCompletion*/)
{
    CheckActive();
    CheckLineErrors();
    int got = 0;
    if (count > 0)
        OnLine([&] { got = line_->Read(buffer, count); });
    return got;
}

std::string TCustomComPort::ReadString()
{
    std::string text(static_cast<std::size_t>(InputCount()), '\0');
    text.resize(static_cast<std::size_t>(Read(text.data(), static_cast<int>(text.size()), true)));
    return text;
}

// --- line errors ---

TLineErrors TCustomComPort::TakeLineErrors()
{
    TLineErrors errors;
    OnLine([&] { errors = line_->TakeLineErrors(); });
    return errors;
}

void TCustomComPort::CheckLineErrors()
{
    const TLineErrors errors = TakeLineErrors();
    if (errors.any() && onLineError_) {
        const TLineErrorEvent handler = onLineError_;
        handler(this, errors);
    }
}

// --- modem lines ---

void TCustomComPort::SetDTR()
{
    CheckActive();
    OnLine([this] { line_->SetDTR(); });
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    TModemStatus status;
    OnLine([&] { status = line_->ModemStatus(); });
    return status;
}
