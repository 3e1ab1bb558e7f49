// The port's line events: the handlers, the mask they make, the event thread that watches for
// them, and the dispatch of what it found, in the fixed order, on the user-interface thread.
#include "serial/ComPort.h"

#include "os/SystemText.h"
#include "serial/ComLine.h"

#include <QCoreApplication>
#include <QPointer>

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

    eventMask_ = mask;
    // Only what the system can raise is worth a thread.
    const std::uint32_t raised = mask & ~line_->SilentEvents();
    if (raised == 0)
        DestroyThread();
    else if (line_->Watching())
        line_->SetEventMask(raised);
    else
        CreateThread();
}

void TCustomComPort::CreateThread()
{
    if (line_->Watching())
        return;
    ComLine::EventSettings settings;
    settings.mask = eventMask_ & ~line_->SilentEvents();
    settings.priority = threadPriority_;
    settings.synchronize = synchronizeEvents_;
    ComLine::EventReports reports;
    reports.found = [this](std::uint32_t events) { ThreadDoEvent(events); };
    reports.failed = [this](const ComLine::Failure& failure) {
        ThreadFailed(failure.error, failure.kind, failure.operation);
    };
    reports.txEmptyWanted = [this] { return TxEmptyWanted(); };
    if (!line_->StartEvents(settings, std::move(reports)))
        RaiseError(0, "Can't create thread");
    // An application that goes away first ends the thread with it: nothing can be handed over
    // any more.
    applicationGone_ = connect(QCoreApplication::instance(), &QObject::destroyed, this,
                               [this] { DestroyThread(); });
}

void TCustomComPort::DestroyThread()
{
    disconnect(applicationGone_);
    if (line_)
        line_->StopEvents(); // stops and joins it
}

void TCustomComPort::ThreadDoEvent(std::uint32_t events)
{
    // A handler may close the port, reopen it or even destroy it: what this session found is
    // then no news for anyone, and nothing here touches the port afterwards.
    const QPointer<TCustomComPort> alive(this);
    const std::uint64_t session = session_;
    auto current = [&] { return alive && session_ == session; };
    auto fire = [&](std::uint32_t bit, const TNotifyEvent& slot) {
        if (!current() || !(events & bit) || !slot)
            return;
        const TNotifyEvent handler = slot;
        handler(this);
    };
    try {
        fire(ComEvent::Break, onBreak_);
        fire(ComEvent::CTS, onCTSChange_);
        fire(ComEvent::DSR, onDSRChange_);
        if (current() && (events & ComEvent::Err) && onLineError_ && GetActive()) {
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

void TCustomComPort::ThreadFailed(int error, TComErrorKind kind, const char* operation)
{
    // The thread has ended: forget it, so that a later mask change starts a new one.
    DestroyThread();
    const QPointer<TCustomComPort> alive(this);
    const std::uint64_t session = session_;
    const std::string reason = SystemText(error);
    try {
        RaiseFrom(error, kind, reason, operation);
    } catch (const EAbort&) {
    } catch (const std::exception& failure) {
        if (alive)
            ReportException(failure);
    }
    if (kind == ekGone)
        CloseGoneLine(alive, session, reason);
}

bool TCustomComPort::HasEventThread() const { return line_ && line_->Watching(); }

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
