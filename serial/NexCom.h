#pragma once
// The serial channel: the one component through which the program talks to a display board.
// On top of the driver it chooses ports by number and rates in bits per second, keeps the last
// driver error in LastError and turns every error into the silent abort, says when the port's
// device has gone away, polls for received bytes, captures them to a file, decodes them into
// strings, timer backup lines, display lines and packets, and sends files in chunks with
// progress reports.
//
// Everything here runs on the thread that owns the channel, the user-interface thread.

#include "serial/ComPort.h"
#include "serial/FileTransfer.h"
#include "serial/ReceiveDecoders.h"

#include <QPointer>

#include <cstdint>
#include <string>
#include <string_view>

class QTimer;

using TPacketEvent = Closure<QObject*, std::string&>;
using TStringEvent = Closure<QObject*, std::string&>;
// Sender, Address, StartNumber, Mode, Time, Place, MarqString (the line, zero-terminated).
using TMarqEvent = Closure<QObject*, char, std::int32_t, char, std::int32_t, std::int32_t, const char*>;
// Sender, Info, StartNumber, Channel, Mode, Time, ChronString (the line, zero-terminated).
using TChronEvent = Closure<QObject*, char, std::int32_t, std::int32_t, char, std::int32_t, const char*>;
// Sender, ctsOn, dsrOn, ringOn, rlsdOn.
using TStatusEvent = Closure<QObject*, bool, bool, bool, bool>;
// Sender, PercentComplete, BytesSent.
using TSendFileEvent = Closure<QObject*, std::int32_t, std::int32_t>;
// Sender, Reason (the system's message).
using TPortLostEvent = Closure<QObject*, const std::string&>;

class TNexComThread : public TComPort {
    Q_OBJECT

public:
    // `names`: where COM names lead (os/ComNames.h).
    explicit TNexComThread(ComNames names, QObject* owner = nullptr);
    ~TNexComThread() override;

    void OpenPort();
    void ClosePort();
    // Callers test ok() first; on a closed port the driver refuses.
    void SendText(std::string_view text);

    bool ok() const { return GetActive(); }

    // "COMn" below 10, "\\.\COMn" from 10 on; reading takes the number back from the name.
    int Port() const;
    void SetPort(int number);
    // Bits per second, through the rate table; 0 until a rate is set. A rate the table lacks is
    // refused through the error path and the old rate stays.
    int Baud() const;
    void SetBaud(int bitsPerSecond);
    std::int32_t BufSize() const { return BufferSizes().Input(); }
    void SetBufSize(std::int32_t bytes);
    std::int32_t PacketSize() const { return packets_.PacketSize(); }
    void SetPacketSize(std::int32_t bytes) { packets_.SetPacketSize(bytes); }
    // Write time-out in milliseconds.
    std::int32_t Timeout() const { return Timeouts().WriteConstant(); }
    void SetTimeout(std::int32_t ms) { Timeouts().SetWriteConstant(ms); }
    bool HWHandshake() const { return hwHandshake_; }
    // Only while the port is open.
    void SetHWHandshake(bool on);
    // The capture file for received bytes, appended to; empty when none is open.
    const std::string& DebugFile() const { return debugFile_; }
    void SetDebugFile(const std::string& name);
    bool SendFileInProgress() const { return transferring_; }
    // The message of the most recent driver error; kept until the next one.
    const std::string& LastError() const { return lastError_; }
    // Its number as the system gave it (errno, GetLastError), or 0 for the driver's own errors.
    int LastErrorCode() const { return lastErrorCode_; }
    // What it means: a device gone, busy, refused to this user, and so on.
    TComErrorKind LastErrorKind() const { return lastErrorKind_; }

    static TDataBits DataBitsFromCount(int count);
    // The frame Kappa devices speak, 7 data bits, no parity and 2 stop bits; otherwise the
    // channel's own 8-N-1.
    void SetKappaFrame(bool kappa);
    void SetCTSFlow();
    void NoCTSFlow();

    // Starts sending a file (its name is converted to UTF-8); the driver's transmit-empty
    // events carry it on. Reports progress through OnSendFileComplete, 100 per cent twice at
    // the end.
    void SendFile(const std::wstring& name);
    void AbortSendFile();

    // The channel's own events. OnTxEmpty is raised on the driver's transmit-empty event only
    // while no file is being sent; it hides the driver's slot of that name, which the channel
    // keeps for itself. OnPortLost is raised once when the port has closed itself because its
    // device went away, with the reason, which is LastError as well.
    const TPacketEvent& OnPacketReceived() const { return onPacketReceived_; }
    const TStringEvent& OnStringReceived() const { return onStringReceived_; }
    const TMarqEvent& OnMarqReceived() const { return onMarqReceived_; }
    const TChronEvent& OnChronBackupReceived() const { return onChronBackupReceived_; }
    const TStatusEvent& OnStatusChanged() const { return onStatusChanged_; }
    const TNotifyEvent& OnTxEmpty() const { return onTxEmpty_; }
    const TSendFileEvent& OnSendFileComplete() const { return onSendFileComplete_; }
    const TPortLostEvent& OnPortLost() const { return onPortLost_; }
    void SetOnPacketReceived(TPacketEvent handler) { onPacketReceived_ = std::move(handler); }
    void SetOnStringReceived(TStringEvent handler) { onStringReceived_ = std::move(handler); }
    void SetOnMarqReceived(TMarqEvent handler) { onMarqReceived_ = std::move(handler); }
    void SetOnChronBackupReceived(TChronEvent handler) { onChronBackupReceived_ = std::move(handler); }
    void SetOnStatusChanged(TStatusEvent handler) { onStatusChanged_ = std::move(handler); }
    void SetOnTxEmpty(TNotifyEvent handler) { onTxEmpty_ = std::move(handler); }
    void SetOnSendFileComplete(TSendFileEvent handler) { onSendFileComplete_ = std::move(handler); }
    void SetOnPortLost(TPortLostEvent handler) { onPortLost_ = std::move(handler); }

    // The handlers the channel gives the driver. A receive pass takes every byte waiting, writes
    // it to the capture file and offers it to each decoder whose event has a handler.
    void NexComPortRxChar(QObject* Sender);
    void PollTick();
    void NexComOnTxEmpty(QObject* Sender);
    void NexComOnStatusChanged(QObject* Sender);
    void NexComOnError(TCustomComPort* ComPort, EComError& E, TComAction& Action);

    // Beep types: the default sound and the information sound.
    static constexpr unsigned kBeepDefault = 0;
    static constexpr unsigned kBeepInformation = 64;

protected:
    // The platform's beep: a receive pass that fails to read sounds the default one, a pass
    // that starts while another runs the information one.
    virtual void MessageBeep(unsigned type);
    // The driver's transmit-empty event serves a file transfer or the channel's own OnTxEmpty;
    // while neither is in use, lines go out without the event thread looking for it.
    bool TxEmptyWanted() const override;
    void LineGone(const std::string& reason) override;

private:
    static constexpr const char* kClosedPort = "Can't perform this operation on a closed port";

    void Capture(std::string_view chunk);
    void Decode(QObject* Sender, std::string_view chunk, const QPointer<TNexComThread>& alive);
    void ReportProgress(std::int32_t percent, std::int32_t bytesSent);
    void EndTransfer();

    std::string lastError_;
    int lastErrorCode_ = 0;
    TComErrorKind lastErrorKind_ = ekOther;
    PacketCutter packets_;
    bool hwHandshake_ = false;
    std::string debugFile_;
    MarqLineCollector marqLine_;
    ChronLineCollector chronLine_;
    StringCollector string_;
    bool busy_ = false;
    FileStream debugCapture_;
    FileTransfer transfer_;
    bool transferring_ = false;

    TPacketEvent onPacketReceived_;
    TStringEvent onStringReceived_;
    TMarqEvent onMarqReceived_;
    TChronEvent onChronBackupReceived_;
    TStatusEvent onStatusChanged_;
    TNotifyEvent onTxEmpty_;
    TSendFileEvent onSendFileComplete_;
    TPortLostEvent onPortLost_;

    QTimer* pollTimer_;
};
