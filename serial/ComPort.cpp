#include "serial/ComPort.h"

#include "os/SystemText.h"
#include "serial/ComLine.h"
#include "serial/HandOver.h"
#include "serial/LineSettings.h"

#include <QLoggingCategory>
#include <QThread>

// Every error the driver raises, with its device and the call that failed:
// QT_LOGGING_RULES="marqtest.serial.debug=true".
Q_LOGGING_CATEGORY(serialTrace, "marqtest.serial", QtWarningMsg)

namespace {

const char* const kClosedPort = "Can't perform this operation on a closed port";
const char* const kOpenPort = "Can't perform this operation on an open port";
const char* const kUnsupportedRate = "Unsupported baud rate";

} // namespace

TCustomComPort::TCustomComPort(ComNames names, QObject* owner)
    : TCustomComPort(owner, ComSystem::Native(std::move(names)))
{
}

TCustomComPort::TCustomComPort(QObject* owner, std::shared_ptr<ComSystem> system)
    : QObject(owner), system_(std::move(system)), closeHandOver_(new HandOverPoint(this))
{
}

TCustomComPort::~TCustomComPort()
{
    // Closing releases without raising; the thread, if any, is stopped and joined.
    FreeHandle();
}

// --- state ---

bool TCustomComPort::GetActive() const { return line_ != nullptr; }

void TCustomComPort::SetActive(bool value)
{
    if (value != GetActive()) {
        if (value)
            Open();
        else
            Close();
    }
    storedActive_ = value;
}

void TCustomComPort::Open()
{
    if (!GetActive())
        CreateHandle();
}

void TCustomComPort::Close()
{
    if (QThread::currentThread() != thread()) {
        // Carried out on the port's own thread, while this one waits (or until it never can).
        closeHandOver_->Post([this] { Close(); })->Wait();
        return;
    }
    if (GetActive())
        FreeHandle();
}

void TCustomComPort::CreateHandle()
{
    FreeHandle();
    std::unique_ptr<ComLine> line;
    OnLine([&] { line = system_->OpenLine(deviceName_); });
    line_ = std::move(line);
    ++session_;
    try {
        OnLine([this] { line_->SetBufferSizes(bufferSizes_.Input(), bufferSizes_.Output()); });
        SetComDCB();
        SetComEventMask();
    } catch (...) {
        FreeHandle();
        throw;
    }
}

void TCustomComPort::CloseGoneLine(const QPointer<TCustomComPort>& port, std::uint64_t session,
                                   const std::string& reason)
{
    if (!port || port->session_ != session)
        return;
    port->FreeHandle();
    try {
        port->LineGone(reason);
    } catch (const EAbort&) {
    } catch (const std::exception& error) {
        if (port)
            port->ReportException(error);
    }
}

void TCustomComPort::FreeHandle()
{
    DestroyThread();
    if (line_) {
        // The last line leaves first, at the settings it was written with.
        line_->Close();
        ++session_;
        line_.reset();
    }
    eventMask_ = 0;
}

void TCustomComPort::SetDeviceName(const std::string& name)
{
    if (name == deviceName_)
        return;
    CheckInactive();
    deviceName_ = name;
}

void TCustomComPort::SetBaudRate(TBaudRate value)
{
    // A member without a row in the rate table would leave the device at its old rate.
    if (value != brDefault && BitsPerSecond(value) == 0)
        RaiseError(0, kUnsupportedRate);
    if (Store(baudRate_, value))
        SetComDCB();
}

void TCustomComPort::SetDataBits(TDataBits value)
{
    if (Store(dataBits_, value))
        SetComDCB();
}

void TCustomComPort::SetParity(TParity value)
{
    if (Store(parity_, value))
        SetComDCB();
}

void TCustomComPort::SetStopBits(TStopBits value)
{
    if (Store(stopBits_, value))
        SetComDCB();
}

void TCustomComPort::SetOptions(TOptions value)
{
    if (Store(options_, value))
        SetComDCB();
}

void TCustomComPort::SetSynchronizeEvents(bool value)
{
    if (value == synchronizeEvents_)
        return;
    CheckInactive();
    synchronizeEvents_ = value;
}

void TCustomComPort::SetThreadPriority(TThreadPriority value)
{
    if (Store(threadPriority_, value) && line_)
        line_->SetEventPriority(value);
}

void TCustomComPort::SetSystem(std::shared_ptr<ComSystem> system)
{
    CheckInactive();
    system_ = std::move(system);
}

void TCustomComPort::SetComDCB()
{
    if (!GetActive())
        return;
    LineSettings settings;
    settings.baudRate = baudRate_;
    settings.dataBits = dataBits_;
    settings.parity = parity_;
    settings.stopBits = stopBits_;
    settings.options = options_;
    settings.dtr = flowControl_.DTR();
    settings.rts = flowControl_.RTS();
    settings.xOnXOff = flowControl_.XOnXOff();
    settings.xOnLimit = flowControl_.XOnLimit();
    settings.xOffLimit = flowControl_.XOffLimit();
    settings.xOn = characters_.XOn();
    settings.xOff = characters_.XOff();
    settings.error = characters_.Error();
    settings.eof = characters_.Eof();
    settings.event = characters_.Event();
    OnLine([&] { line_->Configure(settings); });
}

void TCustomComPort::OnLine(const std::function<void()>& call)
{
    try {
        call();
    } catch (const ComLine::Failure& failure) {
        std::string message = SystemText(failure.error);
        if (!failure.detail.empty())
            message += " (" + failure.detail + ")";
        RaiseFrom(failure.error, failure.kind, message, failure.operation);
    }
}

// --- errors ---

void TCustomComPort::RaiseError(int number, const std::string& message, TComErrorKind kind)
{
    RaiseFrom(number, kind, message, nullptr);
}

void TCustomComPort::RaiseFrom(int number, TComErrorKind kind, const std::string& message,
                               const char* operation)
{
    if (operation)
        qCDebug(serialTrace, "%s: %s failed: error %d: %s", deviceName_.c_str(), operation, number,
                message.c_str());
    else
        qCDebug(serialTrace, "%s: error %d: %s", deviceName_.c_str(), number, message.c_str());
    EComError error(number, message, kind);
    TComAction action = caFail;
    if (onError_)
        onError_(this, error, action);
    if (action == caAbort)
        throw EAbort();
    throw error;
}

void TCustomComPort::CheckActive()
{
    if (!GetActive())
        RaiseError(0, kClosedPort);
}

void TCustomComPort::CheckInactive()
{
    if (GetActive())
        RaiseError(0, kOpenPort);
}

// --- device names ---

const ComNames& TCustomComPort::Names() const { return system_->Names(); }

void TCustomComPort::EnumComDevices(QStringList& list) const
{
    for (const std::string& name : Names().Present())
        list.append(QString::fromStdString(name));
}

std::string TCustomComPort::DescribeComDevice(const std::string& name) const
{
    return Names().Describe(name);
}
