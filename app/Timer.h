#pragma once
// TTimer: the window's test timer, a periodic timer with a millisecond interval that ticks on
// the thread that owns it.
//
// A board shows the time each running-time line carries, so what a technician sees is how
// regularly the lines leave. Qt's own timers wake the event loop on whole milliseconds, up to
// one late at every tick, and on Windows on the system's tick (15.6 ms for a window not seen).
// TTimer takes its ticks from a kernel clock (os/PeriodicClock.h) at absolute deadlines instead,
// which the event loop notices the moment it expires. A tick that
// comes while the thread is busy is delivered once, as soon as it is free; the deadlines keep
// their phase. Where the system refuses to set the clock, Qt's timer ticks instead: a running
// TTimer always ticks.
// As with Qt's timers, a tick never starts while the previous one still runs (its handler may
// run a nested event loop).

#include "os/PeriodicClock.h"

#include <QObject>
#include <QTimer>

#include <memory>

class ClockWatch;

class TTimer : public QObject {
    Q_OBJECT
public:
    // Without timer calls, the system's own.
    explicit TTimer(QObject* parent = nullptr, std::shared_ptr<TimerCalls> calls = {});
    ~TTimer() override;

    // (Re)starts the ticks: the first comes one interval from now.
    void start();
    void start(int intervalMs);
    void stop();
    bool isActive() const { return active_; }
    int interval() const { return interval_; }

signals:
    void timeout();

private:
    void Tick();
    // The clock refused: Qt's timer ticks from now on.
    void FallBack();

    int interval_ = 0;
    bool active_ = false;
    bool ticking_ = false;
    PeriodicClock clock_;
    std::unique_ptr<ClockWatch> watch_;
    // Without a kernel clock (none left, or one the system refuses to set), Qt's own precise
    // timer stands in.
    QTimer fallback_;
};
