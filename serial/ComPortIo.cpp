// The port's transfers: writing through PortWriter, reading what has arrived, the line-error
// check that goes with both, and the modem lines.
#include "serial/ComPort.h"

#include "os/SystemText.h"
#include "serial/ComDevice.h"
#include "serial/ComThread.h"
#include "serial/PortWriter.h"
#include "serial/SerialSystem.h"

#include <QPointer>

#include <cerrno>
#include <sys/ioctl.h>

// --- writing ---

void TCustomComPort::WriteString(std::string_view text)
{
    CheckActive();
    WaitForWriteCompletion();
    if (!text.empty())
        CheckWrite(writer_->Start(text, timeouts_.WriteMultiplier(), timeouts_.WriteConstant()),
                   "write");
}

void TCustomComPort::WriteChar(char c) { WriteString(std::string_view(&c, 1)); }

void TCustomComPort::Write(const void* buffer, int count, bool waitOnCompletion)
{
    CheckActive();
    WaitForWriteCompletion();
    if (count <= 0)
        return;
    const std::string_view bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    CheckWrite(writer_->Start(bytes, timeouts_.WriteMultiplier(), timeouts_.WriteConstant()),
               "write");
    if (waitOnCompletion)
        WaitForWriteCompletion();
}

void TCustomComPort::WaitForWriteCompletion()
{
    const PortWriter::Outcome outcome = writer_->Wait();
    CheckWrite(outcome.error, outcome.operation);
    // A write that ended short loses bytes: say so, however long ago it ended.
    if (outcome.timedOut)
        RaiseError(0, "Timeout");
    CheckActive();
    CheckLineErrors();
}

void TCustomComPort::CheckWrite(int error, const char* operation)
{
    if (error != EIO)
        return Check(-error, operation);
    // Reported with the port still open, as the event thread reports it; then closed, unless
    // the error handler has closed or reopened it already.
    const std::uint64_t session = session_;
    const QPointer<TCustomComPort> alive(this);
    try {
        RaiseFrom(EIO, SystemText(EIO), operation);
    } catch (...) {
        if (alive && session_ == session)
            FreeHandle();
        throw;
    }
}

void TCustomComPort::PurgeOutput()
{
    if (!GetActive())
        return;
    writer_->Forget();
    Check(system_->Flush(device_->Fd(), TCOFLUSH), "tcflush");
}

// --- reading ---

int TCustomComPort::InputCount()
{
    CheckActive();
    CheckLineErrors();
    int queued = 0;
    Check(system_->Ioctl(device_->Fd(), FIONREAD, &queued), "FIONREAD");
    return queued;
}

int TCustomComPort::Read(void* buffer, int count, bool /*waitOnCompletion*/)
{
    CheckActive();
    CheckLineErrors();
    int got = 0;
    while (got < count) {
        const ssize_t read = system_->Read(device_->Fd(), static_cast<char*>(buffer) + got,
                                           static_cast<std::size_t>(count - got));
        if (read == -EINTR)
            continue;
        if (read == -EAGAIN || read == 0)
            break;
        if (read < 0)
            Check(static_cast<int>(read), "read");
        got += static_cast<int>(read);
    }
    if (thread_)
        thread_->NoteRead(static_cast<std::size_t>(got));
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
    if (!lineCounters_)
        return {};
    LineCounts now;
    const int result = ReadLineCounts(*system_, device_->Fd(), now);
    if (ComDevice::Unsupported(result)) {
        lineCounters_ = false;
        return {};
    }
    Check(result, "TIOCGICOUNT");
    TLineErrors errors;
    if (lineCounts_)
        errors = ChangedErrors(*lineCounts_, now);
    lineCounts_ = now;
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
    int line = TIOCM_DTR;
    const int result = system_->Ioctl(device_->Fd(), TIOCMBIS, &line);
    if (!ComDevice::Unsupported(result))
        Check(result, "TIOCMBIS");
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    int lines = 0;
    const int result = system_->Ioctl(device_->Fd(), TIOCMGET, &lines);
    TModemStatus status;
    if (ComDevice::Unsupported(result))
        return status;
    Check(result, "TIOCMGET");
    status[msCTS] = lines & TIOCM_CTS;
    status[msDSR] = lines & TIOCM_DSR;
    status[msRing] = lines & TIOCM_RNG;
    status[msRLSD] = lines & TIOCM_CAR;
    return status;
}
