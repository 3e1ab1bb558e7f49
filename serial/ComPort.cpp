#include "serial/ComPort.h"

#include "serial/ComDevice.h"
#include "serial/ComNames.h"
#include "serial/ComThread.h"
#include "serial/LineSettings.h"
#include "serial/SerialSystem.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Every error the driver raises, with its device: QT_LOGGING_RULES="marqtest.serial.debug=true".
Q_LOGGING_CATEGORY(serialTrace, "marqtest.serial", QtWarningMsg)

namespace {

const char* const kClosedPort = "Can't perform this operation on a closed port";
const char* const kOpenPort = "Can't perform this operation on an open port";

// The system's text for an error number, without trailing blanks, control characters or full
// stops.
std::string SystemText(int error)
{
    char buffer[256];
    std::string text = strerror_r(error, buffer, sizeof buffer);
    while (!text.empty()) {
        const auto last = static_cast<unsigned char>(text.back());
        if (last != '.' && last != ' ' && !std::iscntrl(last))
            break;
        text.pop_back();
    }
    return text;
}

// The slave side of a UNIX 98 pseudo-terminal (majors 136-143).
bool IsPseudoTerminal(int fd)
{
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
           major(status.st_rdev) <= 143;
}

} // namespace

TCustomComPort::TCustomComPort(QObject* owner)
    : TCustomComPort(owner, std::make_shared<SerialSystem>())
{
}

TCustomComPort::TCustomComPort(QObject* owner, std::shared_ptr<SerialSystem> system)
    : QObject(owner), system_(std::move(system)), writeTimer_(new QTimer(this))
{
    writeTimer_->setSingleShot(true);
    writeTimer_->setTimerType(Qt::PreciseTimer);
    connect(writeTimer_, &QTimer::timeout, this, [this] {
        if (!writing_)
            return;
        PushWrite();
        if (writing_)
            FinishWrite(false);
    });
}

TCustomComPort::~TCustomComPort()
{
    // Closing releases without raising; the thread, if any, is only told to stop.
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
        QMetaObject::invokeMethod(this, [this] { Close(); }, Qt::BlockingQueuedConnection);
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
        RaiseError(ENOENT, SystemText(ENOENT));
    const int fd = system_->Open(path);
    if (fd < 0)
        RaiseError(-fd, SystemText(-fd)); // even "try again": there is no device to go on with
    device_ = std::make_shared<ComDevice>(system_, fd);
    try {
        // TIOCEXCL keeps other programs out but not root, and is racy; flock covers both.
        // Old kernels refuse TIOCEXCL on some devices, which is harmless.
        if (const int result = system_->Ioctl(fd, TIOCEXCL, nullptr);
            !ComDevice::Unsupported(result))
            Check(result);
        int locked = system_->Flock(fd, LOCK_EX | LOCK_NB);
        if (locked == -EWOULDBLOCK)
            locked = -EBUSY; // "held open elsewhere", not "try again"
        Check(locked);
        Check(system_->Flush(fd, TCIOFLUSH));
        lineCounts_.reset();
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
    writing_ = false;
    writeShort_ = false;
    writeError_ = 0;
    writeCopy_.clear();
    writeNotifier_.reset();
    writeTimer_->stop();
    if (device_) {
        const int fd = device_->Fd();
        system_->Ioctl(fd, TIOCNXCL, nullptr);
        // Unlocked here rather than at the last close: an event thread that is still on its
        // way out keeps the descriptor a moment longer and must not block a new opening.
        system_->Flock(fd, LOCK_UN);
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

namespace {
template <typename T> bool Store(T& field, T value)
{
    if (field == value)
        return false;
    field = value;
    return true;
}
} // namespace

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
    if (!Store(threadPriority_, value))
        return;
    if (thread_) {
        thread_->priority = value;
        thread_->Wake();
    }
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
    const int fd = device_->Fd();
    termios before{};
    Check(system_->GetAttributes(fd, before));

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
    Check(CopyToTermios(settings, record, customRate));
    int result = system_->SetAttributes(fd, record);
    if (result == -EINVAL && IsPseudoTerminal(fd)) {
        // A pseudo-terminal has no line to frame: it refuses any character size and parity
        // but 8-N. Keep its own, so that virtual ports work in every mode.
        constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CMSPAR;
        record.c_cflag = (record.c_cflag & ~kFrame) | (before.c_cflag & kFrame);
        result = system_->SetAttributes(fd, record);
    }
    Check(result);
    if (customRate) {
        if (const int result = system_->SetCustomSpeed(fd, customRate); result < 0) {
            system_->SetAttributes(fd, before);
            Check(result);
        }
    }

    // DTR and RTS levels, on devices that have such lines.
    auto setLine = [&](bool on, int line) {
        const int result = system_->Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
        if (!ComDevice::Unsupported(result))
            Check(result);
    };
    if (flowControl_.DTR() == dcDisable || flowControl_.DTR() == dcEnable)
        setLine(flowControl_.DTR() == dcEnable, TIOCM_DTR);
    if (flowControl_.RTS() == rcDisable || flowControl_.RTS() == rcEnable)
        setLine(flowControl_.RTS() == rcEnable, TIOCM_RTS);
}

// --- errors ---

void TCustomComPort::RaiseError(int number, const std::string& message)
{
    qCDebug(serialTrace, "%s: error %d: %s", deviceName_.c_str(), number, message.c_str());
    EComError error(number, message);
    TComAction action = caFail;
    if (onError_)
        onError_(this, error, action);
    if (action == caAbort)
        throw EAbort();
    throw error;
}

void TCustomComPort::Check(int result)
{
    if (result >= 0)
        return;
    const int error = -result;
    if (error == EAGAIN || error == EINPROGRESS)
        return;
    RaiseError(error, SystemText(error));
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

// --- writing ---

void TCustomComPort::WriteString(std::string_view text)
{
    CheckActive();
    WaitForWriteCompletion();
    if (!text.empty())
        StartWrite(text.data(), text.size());
}

void TCustomComPort::WriteChar(char c) { WriteString(std::string_view(&c, 1)); }

void TCustomComPort::Write(const void* buffer, int count, bool waitOnCompletion)
{
    CheckActive();
    WaitForWriteCompletion();
    if (count <= 0)
        return;
    StartWrite(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
    if (waitOnCompletion)
        WaitForWriteCompletion();
}

void TCustomComPort::StartWrite(const char* data, std::size_t count)
{
    writeCopy_.assign(data, data + count);
    writeDone_ = 0;
    writing_ = true;
    const long long limit =
        static_cast<long long>(timeouts_.WriteMultiplier()) * static_cast<long long>(count) +
        timeouts_.WriteConstant();
    writeDeadline_.reset();
    if (limit > 0)
        writeDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);

    PushWrite();
    if (writeError_) {
        const int error = std::exchange(writeError_, 0);
        Check(-error);
    }
    if (!writing_)
        return;
    // The kernel's queue is full: the rest goes out from the event loop as room appears.
    if (!writeNotifier_) {
        writeNotifier_ = std::make_unique<QSocketNotifier>(device_->Fd(), QSocketNotifier::Write);
        connect(writeNotifier_.get(), &QSocketNotifier::activated, this, [this] { PushWrite(); });
    }
    writeNotifier_->setEnabled(true);
    if (writeDeadline_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            *writeDeadline_ - std::chrono::steady_clock::now());
        writeTimer_->start(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }
}

void TCustomComPort::PushWrite()
{
    while (writing_ && writeDone_ < writeCopy_.size()) {
        const ssize_t written = system_->Write(device_->Fd(), writeCopy_.data() + writeDone_,
                                               writeCopy_.size() - writeDone_);
        if (written == -EINTR)
            continue;
        if (written == -EAGAIN || written == 0)
            break;
        if (written < 0) {
            writeError_ = static_cast<int>(-written);
            FinishWrite(false);
            return;
        }
        writeDone_ += static_cast<std::size_t>(written);
    }
    if (!writing_)
        return;
    if (writeDone_ == writeCopy_.size())
        FinishWrite(true);
    else if (writeDeadline_ && std::chrono::steady_clock::now() >= *writeDeadline_)
        FinishWrite(false);
}

void TCustomComPort::FinishWrite(bool complete)
{
    writing_ = false;
    if (!complete && !writeError_)
        writeShort_ = true;
    writeCopy_.clear();
    writeCopy_.shrink_to_fit();
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    writeTimer_->stop();
    if (thread_) {
        ++thread_->writesHandedOver;
        thread_->Wake();
    }
}

void TCustomComPort::WaitForWriteCompletion()
{
    while (writing_) {
        PushWrite();
        if (!writing_)
            break;
        int timeout = -1;
        if (writeDeadline_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *writeDeadline_ - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
        }
        pollfd room{device_->Fd(), POLLOUT, 0};
        const int ready = system_->Poll(&room, 1, timeout);
        if (ready < 0 && ready != -EINTR) {
            writeError_ = -ready;
            FinishWrite(false);
        }
    }
    if (writeError_) {
        const int error = std::exchange(writeError_, 0);
        Check(-error);
    }
    // A write that ended short loses bytes: say so, however long ago it ended.
    if (std::exchange(writeShort_, false))
        RaiseError(0, "Timeout");
    CheckActive();
    CheckLineErrors();
}

void TCustomComPort::PurgeOutput()
{
    if (!GetActive())
        return;
    writing_ = false;
    writeShort_ = false;
    writeError_ = 0;
    writeCopy_.clear();
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    writeTimer_->stop();
    Check(system_->Flush(device_->Fd(), TCOFLUSH));
}

// --- reading ---

void TCustomComPort::WaitForReadCompletion()
{
    // Reads never stay pending here; what remains is the line-error check.
    CheckActive();
    CheckLineErrors();
}

int TCustomComPort::InputCount()
{
    CheckActive();
    CheckLineErrors();
    int queued = 0;
    Check(system_->Ioctl(device_->Fd(), FIONREAD, &queued));
    return queued;
}

int TCustomComPort::Read(void* buffer, int count, bool /*waitOnCompletion*/)
{
    WaitForReadCompletion();
    int got = 0;
    while (got < count) {
        const ssize_t read =
            system_->Read(device_->Fd(), static_cast<char*>(buffer) + got,
                          static_cast<std::size_t>(count - got));
        if (read == -EINTR)
            continue;
        if (read == -EAGAIN || read == 0)
            break;
        if (read < 0)
            Check(static_cast<int>(read));
        got += static_cast<int>(read);
    }
    if (thread_)
        thread_->bytesRead += static_cast<std::uint64_t>(got);
    return got;
}

std::string TCustomComPort::ReadString()
{
    WaitForReadCompletion();
    std::string text(static_cast<std::size_t>(InputCount()), '\0');
    text.resize(static_cast<std::size_t>(Read(text.data(), static_cast<int>(text.size()), true)));
    return text;
}

// --- line errors ---

TLineErrors TCustomComPort::TakeLineErrors()
{
    TLineErrors errors;
    serial_icounter_struct counts{};
    const int result = system_->Ioctl(device_->Fd(), TIOCGICOUNT, &counts);
    if (ComDevice::Unsupported(result))
        return errors;
    Check(result);
    const std::vector<int> now = {counts.brk, counts.frame, counts.overrun, counts.parity,
                                  counts.buf_overrun};
    if (lineCounts_) {
        for (std::size_t i = 0; i < now.size(); ++i)
            errors[i] = now[i] != (*lineCounts_)[i];
    }
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
        Check(result);
}

TModemStatus TCustomComPort::GetModemStatus()
{
    CheckActive();
    int lines = 0;
    const int result = system_->Ioctl(device_->Fd(), TIOCMGET, &lines);
    TModemStatus status;
    if (ComDevice::Unsupported(result))
        return status;
    Check(result);
    status[msCTS] = lines & TIOCM_CTS;
    status[msDSR] = lines & TIOCM_DSR;
    status[msRing] = lines & TIOCM_RNG;
    status[msRLSD] = lines & TIOCM_CAR;
    return status;
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

// --- line events ---

template <typename Event> void TCustomComPort::ChangeHandler(Event& slot, Event handler)
{
    if (slot == handler)
        return;
    slot = std::move(handler);
    SetComEventMask();
}

void TCustomComPort::SetOnBreak(TNotifyEvent handler) { ChangeHandler(onBreak_, std::move(handler)); }
void TCustomComPort::SetOnCTSChange(TNotifyEvent handler) { ChangeHandler(onCTSChange_, std::move(handler)); }
void TCustomComPort::SetOnDSRChange(TNotifyEvent handler) { ChangeHandler(onDSRChange_, std::move(handler)); }
void TCustomComPort::SetOnEvent1(TNotifyEvent handler) { ChangeHandler(onEvent1_, std::move(handler)); }
void TCustomComPort::SetOnEvent2(TNotifyEvent handler) { ChangeHandler(onEvent2_, std::move(handler)); }
void TCustomComPort::SetOnPrinterError(TNotifyEvent handler) { ChangeHandler(onPrinterError_, std::move(handler)); }
void TCustomComPort::SetOnRing(TNotifyEvent handler) { ChangeHandler(onRing_, std::move(handler)); }
void TCustomComPort::SetOnRLSDChange(TNotifyEvent handler) { ChangeHandler(onRLSDChange_, std::move(handler)); }
void TCustomComPort::SetOnRx80PercFull(TNotifyEvent handler) { ChangeHandler(onRx80PercFull_, std::move(handler)); }
void TCustomComPort::SetOnRxChar(TNotifyEvent handler) { ChangeHandler(onRxChar_, std::move(handler)); }
void TCustomComPort::SetOnRxFlag(TNotifyEvent handler) { ChangeHandler(onRxFlag_, std::move(handler)); }
void TCustomComPort::SetOnTxEmpty(TNotifyEvent handler) { ChangeHandler(onTxEmpty_, std::move(handler)); }
void TCustomComPort::SetOnLineError(TLineErrorEvent handler) { ChangeHandler(onLineError_, std::move(handler)); }

void TCustomComPort::SetComEventMask()
{
    if (!GetActive())
        return;
    std::uint32_t mask = 0;
    auto add = [&mask](bool assigned, std::uint32_t bit) { mask |= assigned ? bit : 0; };
    add(bool(onRxChar_), ComEvent::RxChar);
    add(bool(onRxFlag_), ComEvent::RxFlag);
    add(bool(onTxEmpty_), ComEvent::TxEmpty);
    add(bool(onCTSChange_), ComEvent::CTS);
    add(bool(onDSRChange_), ComEvent::DSR);
    add(bool(onRLSDChange_), ComEvent::RLSD);
    add(bool(onBreak_), ComEvent::Break);
    add(bool(onLineError_), ComEvent::Err);
    add(bool(onRing_), ComEvent::Ring);
    add(bool(onPrinterError_), ComEvent::PErr);
    add(bool(onRx80PercFull_), ComEvent::Rx80Full);
    add(bool(onEvent1_), ComEvent::Event1);
    add(bool(onEvent2_), ComEvent::Event2);

    if (mask == 0)
        DestroyThread();
    eventMask_ = mask;
    if (thread_) {
        thread_->mask = mask;
        thread_->Wake();
    }
    if (mask != 0)
        CreateThread();
}

void TCustomComPort::CreateThread()
{
    if (thread_)
        return;
    auto link = std::make_shared<ComThreadLink>(device_, this, eventMask_, threadPriority_,
                                                synchronizeEvents_, system_->WakeDescriptor());
    if (!ComThread::Start(link))
        RaiseError(0, "Can't create thread");
    thread_ = std::move(link);
}

void TCustomComPort::DestroyThread()
{
    if (!thread_)
        return;
    thread_->port = nullptr;
    thread_->terminate = true;
    thread_->Wake();
    thread_.reset();
}

void TCustomComPort::ThreadDoEvent(std::uint32_t events)
{
    // A handler may close the port or even destroy it; nothing here touches it afterwards.
    const QPointer<TCustomComPort> alive(this);
    auto fire = [&](std::uint32_t bit, const TNotifyEvent& slot) {
        if (!alive || !(events & bit) || !slot)
            return;
        const TNotifyEvent handler = slot;
        handler(this);
    };
    try {
        fire(ComEvent::Break, onBreak_);
        fire(ComEvent::CTS, onCTSChange_);
        fire(ComEvent::DSR, onDSRChange_);
        if (alive && (events & ComEvent::Err) && onLineError_ && GetActive()) {
            const TLineErrors errors = TakeLineErrors();
            const TLineErrorEvent handler = onLineError_;
            handler(this, errors);
        }
        fire(ComEvent::Event1, onEvent1_);
        fire(ComEvent::Event2, onEvent2_);
        fire(ComEvent::PErr, onPrinterError_);
        fire(ComEvent::Ring, onRing_);
        fire(ComEvent::RLSD, onRLSDChange_);
        fire(ComEvent::Rx80Full, onRx80PercFull_);
        fire(ComEvent::RxChar, onRxChar_);
        fire(ComEvent::RxFlag, onRxFlag_);
        fire(ComEvent::TxEmpty, onTxEmpty_);
    } catch (const EAbort&) {
    } catch (const std::exception& error) {
        if (alive)
            ReportException(error);
    }
}

void TCustomComPort::ThreadFailed(int error)
{
    // The thread has ended: forget it, so that a later mask change starts a new one.
    thread_->port = nullptr;
    thread_.reset();
    const QPointer<TCustomComPort> alive(this);
    try {
        RaiseError(error, SystemText(error));
    } catch (const EAbort&) {
    } catch (const std::exception& failure) {
        if (alive)
            ReportException(failure);
    }
    if (alive && error == EIO)
        FreeHandle();
}

void TCustomComPort::ReportException(const std::exception& error)
{
    try {
        if (onException_) {
            const TExceptionEvent handler = onException_;
            handler(this, error);
            return;
        }
    } catch (...) {
    }
    qWarning("%s", error.what());
}
