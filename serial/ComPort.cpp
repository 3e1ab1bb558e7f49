#include "serial/ComPort.h"

#include "os/ComNames.h"
#include "os/SystemText.h"
#include "serial/ComDevice.h"
#include "serial/ComThread.h"
#include "serial/HandOver.h"
#include "serial/LineSettings.h"
#include "serial/PortWriter.h"
#include "serial/SerialSystem.h"

#include <QLoggingCategory>
#include <QThread>

#include <cerrno>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Every error the driver raises, with its device and the call that failed:
// QT_LOGGING_RULES="marqtest.serial.debug=true".
Q_LOGGING_CATEGORY(serialTrace, "marqtest.serial", QtWarningMsg)

namespace {

const char* const kClosedPort = "Can't perform this operation on a closed port";
const char* const kOpenPort = "Can't perform this operation on an open port";

// The slave side of a UNIX 98 pseudo-terminal (majors 136-143).
bool IsPseudoTerminal(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
           major(status.st_rdev) <= 143;
}

template <typename T> bool Store(T& field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}

} // namespace

TCustomComPort::TCustomComPort(QObject* owner)
    : TCustomComPort(owner, std::make_shared<SerialSystem>())
{
}

TCustomComPort::TCustomComPort(QObject* owner, std::shared_ptr<SerialSystem> system)
    : QObject(owner), system_(std::move(system)), writer_(new PortWriter(this)),
      closeHandOver_(new HandOverPoint(this))
{
    writer_->onHandedOver = [this](PortWriter::Clock::time_point drainedBy,
                                   std::chrono::nanoseconds perByte) {
        if (thread_ && TxEmptyWanted())
            thread_->NoteWrite(drainedBy, perByte);
    };
}

TCustomComPort::~TCustomComPort()
{
    // Closing releases without raising; the thread, if any, is stopped and joined.
    FreeHandle();
}

// --- state ---

bool TCustomComPort::GetActive() const { return device_ != nullptr; }

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
    const std::string path = ComNames::FromEnvironment().Resolve(deviceName_);
    if (path.empty())
        RaiseFrom(ENOENT, SystemText(ENOENT), "open");
    const int fd = system_->Open(path);
    if (fd < 0)
        // Even "try again": there is no device to go on with.
        RaiseFrom(-fd, SystemText(-fd), "open");
    device_ = std::make_shared<ComDevice>(system_, fd);
    ++session_;
    try {
        // TIOCEXCL keeps other programs out but not root, and is racy; flock covers both.
        // Old kernels refuse TIOCEXCL on some devices, which is harmless. Root gets past
        // another program's flag: that flag is not ours to clear at release, so whether it was
        // set already is asked first (kernels too old to tell count it ours once the lock is).
        int wasExclusive = 0;
        const bool told = system_->Ioctl(fd, TIOCGEXCL, &wasExclusive) >= 0;
        const int exclusive = system_->Ioctl(fd, TIOCEXCL, nullptr);
        if (!ComDevice::Unsupported(exclusive))
            Check(exclusive, "TIOCEXCL");
        if (exclusive >= 0 && told && !wasExclusive)
            device_->OwnExclusive();
        int locked = system_->Flock(fd, LOCK_EX | LOCK_NB);
        if (locked == -EWOULDBLOCK)
            locked = -EBUSY; // "held open elsewhere", not "try again"
        Check(locked, "flock");
        if (exclusive >= 0 && !told)
            device_->OwnExclusive();
        // Put back at close, so that the next program finds the line as it was.
        Check(device_->SaveSettings(), "tcgetattr");
        Check(system_->Flush(fd, TCIOFLUSH), "tcflush");
        writer_->Attach(device_);
        lineCounts_.reset();
        lineCounters_ = true;
        TakeLineErrors();
        SetComDCB();
        SetComEventMask();
    } catch (...) {
        FreeHandle();
        throw;
    }
}

void TCustomComPort::FreeHandle()
{
    DestroyThread();
    // The last line goes out at the settings it was written with, before they are put back.
    writer_->Finish();
    writer_->Detach();
    if (device_) {
        ++session_;
        device_->Release();
        device_.reset();
    }
    eventMask_ = 0;
    lineCounts_.reset();
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
    if (Store(threadPriority_, value) && thread_)
        thread_->SetPriority(value);
}

void TCustomComPort::SetSystem(std::shared_ptr<SerialSystem> system)
{
    CheckInactive();
    system_ = std::move(system);
}

void TCustomComPort::SetComDCB()
{
    if (!GetActive())
        return;
    // New settings take effect on every byte still queued: the line on its way goes out first,
    // at the settings it was written with.
    writer_->Settle();
    const int fd = device_->Fd();
    termios before{};
    Check(system_->GetAttributes(fd, before), "tcgetattr");

    LineSettings settings;
    settings.baudRate = baudRate_;
    settings.dataBits = dataBits_;
    settings.parity = parity_;
    settings.stopBits = stopBits_;
    settings.options = options_;
    settings.rts = flowControl_.RTS();
    settings.xOnXOff = flowControl_.XOnXOff();
    settings.xOn = characters_.XOn();
    settings.xOff = characters_.XOff();
    termios record = before;
    int customRate = 0;
    Check(CopyToTermios(settings, record, customRate), "line settings");
    int result = system_->SetAttributes(fd, record);
    if (result == -EINVAL && IsPseudoTerminal(fd)) {
        // A pseudo-terminal has no line to frame: it refuses any character size and parity
        // but 8-N. Keep its own, so that virtual ports work in every mode.
        constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR;
        record.c_cflag = (record.c_cflag & ~kFrame) | (before.c_cflag & kFrame);
        result = system_->SetAttributes(fd, record);
    }
    Check(result, "tcsetattr");
    if (customRate) {
        if (const int result = system_->SetCustomSpeed(fd, customRate); result < 0) {
            system_->SetAttributes(fd, before);
            Check(result, "TCSETS2");
        }
    }

    // What the device really runs at times the writes: a custom rate may have been rounded, and
    // brDefault leaves the device's own.
    termios now{};
    Check(system_->GetAttributes(fd, now), "tcgetattr");
    writer_->SetWireTime(WireTimeOf(now, device_->BitsPerSecond(now)));

    // DTR and RTS levels, on devices that have such lines.
    auto setLine = [&](bool on, int line) {
        const int result = system_->Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
        if (!ComDevice::Unsupported(result))
            Check(result, on ? "TIOCMBIS" : "TIOCMBIC");
    };
    if (flowControl_.DTR() == dcDisable || flowControl_.DTR() == dcEnable)
        setLine(flowControl_.DTR() == dcEnable, TIOCM_DTR);
    if (flowControl_.RTS() == rcDisable || flowControl_.RTS() == rcEnable)
        setLine(flowControl_.RTS() == rcEnable, TIOCM_RTS);
}

// --- errors ---

void TCustomComPort::RaiseError(int number, const std::string& message)
{
    RaiseFrom(number, message, nullptr);
}

void TCustomComPort::RaiseFrom(int number, const std::string& message, const char* operation)
{
    if (operation)
        qCDebug(serialTrace, "%s: %s failed: error %d: %s", deviceName_.c_str(), operation, number,
                message.c_str());
    else
        qCDebug(serialTrace, "%s: error %d: %s", deviceName_.c_str(), number, message.c_str());
    EComError error(number, message);
    TComAction action = caFail;
    if (onError_)
        onError_(this, error, action);
    if (action == caAbort)
        throw EAbort();
    throw error;
}

void TCustomComPort::Check(int result, const char* operation)
{
    if (result >= 0)
        return;
    const int error = -result;
    if (error == EAGAIN || error == EINPROGRESS)
        return;
    RaiseFrom(error, SystemText(error), operation);
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

void TCustomComPort::EnumComDevices(QStringList& list) const
{
    for (const std::string& name : ComNames::FromEnvironment().Present())
        list.append(QString::fromStdString(name));
}

std::string TCustomComPort::DescribeComDevice(const std::string& name) const
{
    return ComNames::FromEnvironment().Describe(name);
}
