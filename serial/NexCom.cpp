#include "serial/NexCom.h"

#include "protocol/DisplayLine.h"
#include "protocol/LineRates.h"
#include "serial/Bell.h"

#include <QPointer>
#include <QString>
#include <QTimer>
#include <QtGlobal>

#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace {

// The whole text as a decimal number, or 0.
int ToInt(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() ? value : 0;
}

// The window and the board offer only rates the channel can set.
static_assert(std::ranges::all_of(protocol::kLineRates,
                                  [](auto offered) { return BaudRateOf(offered.bitsPerSecond).has_value(); }),
              "every rate in kLineRates needs its row in kBaudRates");

} // namespace

TNexComThread::TNexComThread(ComNames names, QObject* owner)
    : TComPort(std::move(names), owner), pollTimer_(new QTimer(this))
{
    TComPort::SetOnRxChar(TNotifyEvent(this, &TNexComThread::NexComPortRxChar));
    TComPort::SetOnCTSChange(TNotifyEvent(this, &TNexComThread::NexComOnStatusChanged));
    TComPort::SetOnDSRChange(TNotifyEvent(this, &TNexComThread::NexComOnStatusChanged));
    TComPort::SetOnRing(TNotifyEvent(this, &TNexComThread::NexComOnStatusChanged));
    TComPort::SetOnRLSDChange(TNotifyEvent(this, &TNexComThread::NexComOnStatusChanged));
    TComPort::SetOnTxEmpty(TNotifyEvent(this, &TNexComThread::NexComOnTxEmpty));
    TComPort::SetOnError(TComErrorEvent(this, &TNexComThread::NexComOnError));

    SetTimeout(100);
    Timeouts().SetReadConstant(0);
    SetBufSize(65534);
    SetParity(paNone);
    SetDataBits(DataBitsFromCount(8));
    SetStopBits(sb1);
    // Linux terminals start with XON/XOFF on: bytes 17 and 19 would vanish from what arrives
    // and a received 19 would stop our output. The channel moves bytes, so it turns that off.
    FlowControl().SetXOnXOff(xcDisable);

    pollTimer_->setObjectName(QStringLiteral("PollTimer"));
    pollTimer_->setInterval(10);
    pollTimer_->setTimerType(Qt::PreciseTimer);
    connect(pollTimer_, &QTimer::timeout, this, &TNexComThread::PollTick);
}

TNexComThread::~TNexComThread()
{
    try {
        if (ok())
            ClosePort();
    } catch (const std::exception&) {
        // The reason is in LastError; a destructor has nobody to tell.
    }
    debugCapture_.reset();
    transfer_.Close();
    TComPort::SetOnRxChar(nullptr);
    TComPort::SetOnCTSChange(nullptr);
    TComPort::SetOnDSRChange(nullptr);
    TComPort::SetOnRing(nullptr);
    TComPort::SetOnRLSDChange(nullptr);
    TComPort::SetOnTxEmpty(nullptr);
    TComPort::SetOnError(nullptr);
}

void TNexComThread::OpenPort()
{
    SetActive(true);
    if (GetActive()) {
        SetDTR();
        pollTimer_->start();
    }
}

void TNexComThread::ClosePort()
{
    if (GetActive())
        SetActive(false);
    pollTimer_->stop();
}

void TNexComThread::SendText(std::string_view text)
{
    WriteString(text);
}

int TNexComThread::Port() const
{
    // The channel's own reading, not ComNames::Number: the last two characters of a longer
    // name, else the fourth, so that COM100 reads 0; callers rely on exactly this.
    const std::string& name = DeviceName();
    if (name.size() > 4)
        return ToInt(std::string_view(name).substr(name.size() - 2));
    if (name.size() == 4)
        return ToInt(std::string_view(name).substr(3, 1));
    return 0;
}

void TNexComThread::SetPort(int number)
{
    SetDeviceName((number < 10 ? "COM" : "\\\\.\\COM") + std::to_string(number));
}

int TNexComThread::Baud() const
{
    return BitsPerSecond(BaudRate());
}

void TNexComThread::SetBaud(int bitsPerSecond)
{
    const std::optional<TBaudRate> rate = BaudRateOf(bitsPerSecond);
    if (!rate)
        RaiseError(0, "Unsupported baud rate: " + std::to_string(bitsPerSecond));
    SetBaudRate(*rate);
}

void TNexComThread::SetKappaFrame(bool kappa)
{
    SetDataBits(DataBitsFromCount(kappa ? 7 : 8));
    SetStopBits(kappa ? sb2 : sb1);
}

void TNexComThread::SetBufSize(std::int32_t bytes)
{
    BufferSizes().SetInput(bytes);
    BufferSizes().SetOutput(bytes);
}

void TNexComThread::SetHWHandshake(bool on)
{
    if (!ok())
        RaiseError(0, kClosedPort);
    if (on)
        SetCTSFlow();
    else
        NoCTSFlow();
    FlowControl().SetRTS(on ? rcHandshake : rcDisable);
    hwHandshake_ = on;
}

void TNexComThread::SetDebugFile(const std::string& name)
{
    debugCapture_.reset();
    if (!name.empty())
        debugCapture_ = OpenFileStream(name, "ab");
    debugFile_ = debugCapture_ ? name : std::string();
}

TDataBits TNexComThread::DataBitsFromCount(int count)
{
    switch (count) {
    case 4: return db4;
    case 5: return db5;
    case 6: return db6;
    case 7: return db7;
    case 8: return db8;
    default: return dbDefault;
    }
}

void TNexComThread::SetCTSFlow()
{
    SetOptions(TOptions().set(opOutputCTSFlow));
}

void TNexComThread::NoCTSFlow()
{
    SetOptions(TOptions());
}

// ---- receiving ----

void TNexComThread::NexComPortRxChar(QObject* Sender)
{
    if (busy_)
        MessageBeep(kBeepInformation);
    // A handler may destroy the channel; from then on nothing of it is touched.
    const QPointer<TNexComThread> alive(this);
    // A nested pass leaves Busy as it found it, so the outer pass still counts as running.
    struct BusyScope {
        const QPointer<TNexComThread>& channel;
        const bool outer;
        ~BusyScope()
        {
            if (channel)
                channel->busy_ = outer;
        }
    } scope{alive, std::exchange(busy_, true)};

    std::string chunk;
    if (ok()) {
        try {
            chunk = ReadString();
        } catch (...) {
            MessageBeep(kBeepDefault);
        }
    }
    Capture(chunk);
    Decode(Sender, chunk, alive);
}

void TNexComThread::Capture(std::string_view chunk)
{
    if (!debugCapture_ || chunk.empty())
        return;
    std::fwrite(chunk.data(), 1, chunk.size(), debugCapture_.get());
    // So that whoever watches the capture sees each pass as it arrives.
    std::fflush(debugCapture_.get());
}

// Each delivery answers whether the channel is still there; a collector stops when it is not.
void TNexComThread::Decode(QObject* Sender, std::string_view chunk,
                           const QPointer<TNexComThread>& alive)
{
    if (onStringReceived_) {
        string_.Collect(chunk, [&](std::string& s) {
            Raise(onStringReceived_, Sender, s);
            return !alive.isNull();
        });
    }
    if (alive && onChronBackupReceived_) {
        chronLine_.Collect(chunk, [&](std::string_view line) {
            const ChronFields f = DecodeChronBackupLine(line);
            Raise(onChronBackupReceived_, Sender, f.Info, f.StartNumber, f.Channel, f.Mode, f.Time,
                  line.data());
            return !alive.isNull();
        });
    }
    if (alive && onMarqReceived_) {
        marqLine_.Collect(chunk, [&](std::string_view line) {
            const protocol::MarqFields f = protocol::DecodeDisplayLine(line);
            Raise(onMarqReceived_, Sender, f.Address, f.StartNumber, f.Mode, f.Time, f.Place,
                  line.data());
            return !alive.isNull();
        });
    }
    if (alive && onPacketReceived_) {
        packets_.Cut(chunk, [&](std::string& packet) {
            Raise(onPacketReceived_, Sender, packet);
            return !alive.isNull();
        });
    }
}

void TNexComThread::PollTick()
{
    if (!ok() || busy_)
        return;
    const QPointer<TNexComThread> alive(this);
    // A timer slot must not let an exception into the event loop.
    try {
        NexComPortRxChar(this);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        if (alive)
            ReportException(e);
    }
}

void TNexComThread::MessageBeep(unsigned type)
{
    RingBell(type);
}

// ---- modem lines and errors ----

void TNexComThread::NexComOnStatusChanged(QObject* Sender)
{
    // A dispatch handed over just before the port closed may still arrive.
    if (!ok())
        return;
    const bool cts = GetModemStatus().test(msCTS);
    const bool dsr = GetModemStatus().test(msDSR);
    const bool ring = GetModemStatus().test(msRing);
    const bool rlsd = GetModemStatus().test(msRLSD);
    Raise(onStatusChanged_, Sender, cts, dsr, ring, rlsd);
}

void TNexComThread::NexComOnError(TCustomComPort* ComPort, EComError& E, TComAction& Action)
{
    Q_UNUSED(ComPort);
    lastError_ = E.Message();
    lastErrorCode_ = E.ErrorCode();
    lastErrorKind_ = E.Kind();
    Action = caAbort;
}

void TNexComThread::LineGone(const std::string& reason)
{
    pollTimer_->stop();
    Raise(onPortLost_, this, reason);
}
