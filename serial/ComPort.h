#pragma once
// The serial port driver: opens one serial device, applies line settings, writes without
// blocking the caller, reads what has arrived, and delivers line events on the user-interface
// thread. Every failure goes through RaiseError and the OnError handler.
//
// Device names: "COMn" and "\\.\COMn" lead to a device as the system names it (os/ComNames.h);
// on Linux a name starting with "/" is opened as a path.
//
// The class is written in three files: ComPort.cpp (opening, closing, settings, errors),
// ComPortIo.cpp (writing, reading, line errors, modem lines) and ComPortEvents.cpp (line events
// and their dispatch). What needs the operating system is an open ComLine, made by the
// ComSystem the build chose (serial/linux, serial/win32).

#include "lang/Closure.h"
#include "lang/Exceptions.h"
#include "os/ComNames.h"
#include "serial/ComSettings.h"
#include "serial/ComTypes.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class ComLine;
class ComSystem;
class HandOverPoint;

// A driver error: ErrorCode is the system's own number for a failed call (errno on Linux,
// GetLastError on Windows), or 0 for the driver's own messages; Kind says what it means. A
// device gone away (unplugged, powered off) closes the port once the error has been reported.
class EComError : public Exception {
public:
    EComError(int number, const std::string& message, TComErrorKind kind = ekOther)
        : Exception(message), errorCode_(number), kind_(kind)
    {
    }
    int ErrorCode() const { return errorCode_; }
    TComErrorKind Kind() const { return kind_; }

private:
    int errorCode_;
    TComErrorKind kind_;
};

class TCustomComPort;

using TNotifyEvent = Closure<QObject*>;
using TLineErrorEvent = Closure<QObject*, TLineErrors>;
using TComErrorEvent = Closure<TCustomComPort*, EComError&, TComAction&>;
// Receives what an event handler threw (the silent abort excepted), since an exception must not
// cross the event loop. Without a handler the message goes to the Qt warning log.
using TExceptionEvent = Closure<TCustomComPort*, const std::exception&>;

class TCustomComPort : public QObject {
    Q_OBJECT

public:
    // The system's own calls, with COM names leading where `names` says.
    explicit TCustomComPort(ComNames names, QObject* owner = nullptr);
    // Tests hand in a scripted system, which brings its names.
    TCustomComPort(QObject* owner, std::shared_ptr<ComSystem> system);
    ~TCustomComPort() override;

    // --- state (ComPort.cpp) ---
    bool GetActive() const;
    void SetActive(bool value);
    void Open();
    // Lets the last line leave (for its time on the line plus 0.1 s, at most 1 s), throws
    // away what is still queued, puts back the line settings found at open and closes.
    void Close();

    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& name);

    TBaudRate BaudRate() const { return baudRate_; }
    void SetBaudRate(TBaudRate value);
    TDataBits DataBits() const { return dataBits_; }
    void SetDataBits(TDataBits value);
    TParity Parity() const { return parity_; }
    void SetParity(TParity value);
    TStopBits StopBits() const { return stopBits_; }
    void SetStopBits(TStopBits value);
    TOptions Options() const { return options_; }
    void SetOptions(TOptions value);

    TFlowControl& FlowControl() { return flowControl_; }
    const TFlowControl& FlowControl() const { return flowControl_; }
    TCharacters& Characters() { return characters_; }
    const TCharacters& Characters() const { return characters_; }
    TBufferSizes& BufferSizes() { return bufferSizes_; }
    const TBufferSizes& BufferSizes() const { return bufferSizes_; }
    TTimeouts& Timeouts() { return timeouts_; }
    const TTimeouts& Timeouts() const { return timeouts_; }

    bool SynchronizeEvents() const { return synchronizeEvents_; }
    void SetSynchronizeEvents(bool value);
    TThreadPriority ThreadPriority() const { return threadPriority_; }
    void SetThreadPriority(TThreadPriority value);

    // Only while Closed: the system calls the port makes from its next opening on.
    void SetSystem(std::shared_ptr<ComSystem> system);

    // --- transfers (ComPortIo.cpp) ---
    // Copies the bytes and returns at once; they go out in the background. Waits only for the
    // previous write to be on the line, and fails with "Timeout" if that one ended short.
    void WriteString(std::string_view text);
    void WriteChar(char c);
    void Write(const void* buffer, int count, bool waitOnCompletion);
    // Everything received so far, possibly nothing; never waits.
    std::string ReadString();
    // Reads at most count of the bytes already received; returns how many it read. Reads never
    // wait, so waitOnCompletion changes nothing; it stays for the callers that pass it.
    int Read(void* buffer, int count, bool waitOnCompletion);
    int InputCount();
    void PurgeOutput();

    // --- modem lines (ComPortIo.cpp) ---
    // A device without modem lines (a pseudo-terminal, some USB adapters) has an empty status
    // and ignores SetDTR.
    void SetDTR();
    TModemStatus GetModemStatus();

    // --- device names, independent of the port's state (ComPort.cpp) ---
    // Where COM names lead for this port.
    const ComNames& Names() const;
    // Appends "COMn" for every COM number that leads to a serial device present now.
    void EnumComDevices(QStringList& list) const;
    // The system's device behind a COM name and, for USB adapters on Linux, what the adapter
    // calls itself.
    std::string DescribeComDevice(const std::string& name) const;

    // --- errors (ComPort.cpp) ---
    [[noreturn]] void RaiseError(int number, const std::string& message, TComErrorKind kind = ekOther);
    void CheckActive();
    void CheckInactive();

    // --- line events (ComPortEvents.cpp) ---
    const TNotifyEvent& OnBreak() const { return onBreak_; }
    const TNotifyEvent& OnCTSChange() const { return onCTSChange_; }
    const TNotifyEvent& OnDSRChange() const { return onDSRChange_; }
    const TNotifyEvent& OnEvent1() const { return onEvent1_; }
    const TNotifyEvent& OnEvent2() const { return onEvent2_; }
    const TNotifyEvent& OnPrinterError() const { return onPrinterError_; }
    const TNotifyEvent& OnRing() const { return onRing_; }
    const TNotifyEvent& OnRLSDChange() const { return onRLSDChange_; }
    const TNotifyEvent& OnRx80PercFull() const { return onRx80PercFull_; }
    const TNotifyEvent& OnRxChar() const { return onRxChar_; }
    const TNotifyEvent& OnRxFlag() const { return onRxFlag_; }
    const TNotifyEvent& OnTxEmpty() const { return onTxEmpty_; }
    const TLineErrorEvent& OnLineError() const { return onLineError_; }
    const TComErrorEvent& OnError() const { return onError_; }
    const TExceptionEvent& OnException() const { return onException_; }

    // A changed handler recomputes the event mask, which starts or stops the event thread.
    void SetOnBreak(TNotifyEvent handler);
    void SetOnCTSChange(TNotifyEvent handler);
    void SetOnDSRChange(TNotifyEvent handler);
    void SetOnEvent1(TNotifyEvent handler);
    void SetOnEvent2(TNotifyEvent handler);
    void SetOnPrinterError(TNotifyEvent handler);
    void SetOnRing(TNotifyEvent handler);
    void SetOnRLSDChange(TNotifyEvent handler);
    void SetOnRx80PercFull(TNotifyEvent handler);
    void SetOnRxChar(TNotifyEvent handler);
    void SetOnRxFlag(TNotifyEvent handler);
    void SetOnTxEmpty(TNotifyEvent handler);
    void SetOnLineError(TLineErrorEvent handler);
    void SetOnError(TComErrorEvent handler) { onError_ = std::move(handler); }
    void SetOnException(TExceptionEvent handler) { onException_ = std::move(handler); }

    // The events the open port asks for, one bit per assigned handler (0 while Closed), and
    // whether a thread watches the line for them (only for events the system can raise).
    std::uint32_t EventMask() const { return eventMask_; }
    bool HasEventThread() const;

protected:
    // Hands what a handler threw to OnException, or to the warning log without one.
    void ReportException(const std::exception& error);
    // Opens and configures the device; on failure everything is released again.
    virtual void CreateHandle();
    // Whether a drained output queue is worth reporting after a write. Looking for it costs the
    // event thread a wake-up and the user-interface thread a hand-over per write, so an owner
    // whose transmit-empty handler has nothing to do at the moment says so here.
    virtual bool TxEmptyWanted() const { return bool(onTxEmpty_); }
    // The port has closed itself because its device has gone away; `reason` is the error's
    // message, already reported through OnError.
    virtual void LineGone(const std::string& /*reason*/) {}

private:
    // ComPort.cpp
    void FreeHandle();
    // After a gone device's error was reported: closes the port and says so (LineGone), unless
    // the error handler has closed or reopened it meanwhile (the new session is its own) or
    // destroyed it.
    static void CloseGoneLine(const QPointer<TCustomComPort>& port, std::uint64_t session,
                              const std::string& reason);
    // Rewrites the open device's line settings from the stored ones; the setters call it.
    void SetComDCB();
    // Runs a call of the open line; its failure takes the error path, naming the call in the
    // trace.
    void OnLine(const std::function<void()>& call);
    [[noreturn]] void RaiseFrom(int number, TComErrorKind kind, const std::string& message,
                                const char* operation);

    // ComPortEvents.cpp
    void SetComEventMask();
    void CreateThread();
    void DestroyThread();
    template <typename Event> void ChangeHandler(Event& slot, Event handler);
    // The event thread's reports, run on the user-interface thread.
    void ThreadDoEvent(std::uint32_t events);
    void ThreadFailed(int error, TComErrorKind kind, const char* operation);

    // ComPortIo.cpp
    void WaitForWriteCompletion();
    // Starts writing the bytes; a write that cannot start takes CheckWrite.
    void CheckStart(std::string_view bytes);
    // Raises a failed write; a device found gone ends the session, as the event thread does.
    void CheckWrite(int error, TComErrorKind kind, const char* operation);
    void CheckLineErrors();
    TLineErrors TakeLineErrors();

    std::shared_ptr<ComSystem> system_;
    std::unique_ptr<ComLine> line_;
    QMetaObject::Connection applicationGone_;
    std::uint32_t eventMask_ = 0;
    // Counts openings and closings, so that work begun for one session (a dispatch, a report)
    // can tell that a handler has closed or reopened the port meanwhile.
    std::uint64_t session_ = 0;
    // Where a Close requested on another thread is carried out.
    HandOverPoint* closeHandOver_;

    bool storedActive_ = false;
    TThreadPriority threadPriority_ = tpTimeCritical;
    TBaudRate baudRate_ = brDefault;
    TBufferSizes bufferSizes_;
    TCharacters characters_{[this] { SetComDCB(); }};
    TDataBits dataBits_ = dbDefault;
    std::string deviceName_ = "COM1";
    TFlowControl flowControl_{[this] { SetComDCB(); }};
    TParity parity_ = paDefault;
    TOptions options_;
    TStopBits stopBits_ = sbDefault;
    bool synchronizeEvents_ = true;
    TTimeouts timeouts_;

    TNotifyEvent onBreak_;
    TNotifyEvent onCTSChange_;
    TNotifyEvent onDSRChange_;
    TComErrorEvent onError_;
    TNotifyEvent onEvent1_;
    TNotifyEvent onEvent2_;
    TLineErrorEvent onLineError_;
    TNotifyEvent onPrinterError_;
    TNotifyEvent onRing_;
    TNotifyEvent onRLSDChange_;
    TNotifyEvent onRx80PercFull_;
    TNotifyEvent onRxChar_;
    TNotifyEvent onRxFlag_;
    TNotifyEvent onTxEmpty_;
    TExceptionEvent onException_;
};

class TComPort : public TCustomComPort {
    Q_OBJECT

public:
    using TCustomComPort::TCustomComPort;
};
