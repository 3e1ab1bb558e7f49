#include "app/Timer.h"

#include "app/ClockWatch.h"

#include <QPointer>

TTimer::TTimer(QObject* parent, std::shared_ptr<TimerCalls> calls)
    : QObject(parent), clock_(std::move(calls))
{
    fallback_.setTimerType(Qt::PreciseTimer);
    connect(&fallback_, &QTimer::timeout, this, &TTimer::timeout);
    if (clock_.Valid())
        watch_ = std::make_unique<ClockWatch>(clock_, [this] { Tick(); });
}

TTimer::~TTimer() = default;

void TTimer::start(int intervalMs)
{
    interval_ = intervalMs;
    start();
}

void TTimer::start()
{
    active_ = true;
    fallback_.stop();
    if (watch_ && clock_.Arm(interval_)) {
        watch_->SetEnabled(true);
        return;
    }
    FallBack();
}

void TTimer::FallBack()
{
    if (watch_)
        watch_->SetEnabled(false);
    fallback_.start(interval_);
}

void TTimer::stop()
{
    active_ = false;
    fallback_.stop();
    if (!watch_)
        return;
    // No tick comes after a stop, not even for a deadline that passed unread.
    clock_.Disarm();
    watch_->SetEnabled(false);
}

void TTimer::Tick()
{
    // However many deadlines passed while the thread was busy, they make one tick.
    const bool expired = clock_.Expired();
    if (active_ && !clock_.Armed())
        FallBack();
    if (!expired || !active_ || ticking_)
        return;
    // The handler may run a nested event loop, or even destroy this timer.
    const QPointer<TTimer> alive(this);
    ticking_ = true;
    emit timeout();
    if (alive)
        ticking_ = false;
}
