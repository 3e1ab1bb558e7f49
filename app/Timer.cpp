#include "app/Timer.h"

#include <QPointer>
#include <QSocketNotifier>

#include <sys/timerfd.h>

#include <cstdint>

namespace {

timespec Milliseconds(int ms)
{
    return {ms / 1000, static_cast<long>(ms % 1000) * 1'000'000L};
}

} // namespace

TTimer::TTimer(QObject* parent)
    : QObject(parent), clock_(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    fallback_.setTimerType(Qt::PreciseTimer);
    connect(&fallback_, &QTimer::timeout, this, &TTimer::timeout);
    if (clock_.valid()) {
        notifier_ = std::make_unique<QSocketNotifier>(clock_.get(), QSocketNotifier::Read);
        notifier_->setEnabled(false);
        connect(notifier_.get(), &QSocketNotifier::activated, this, &TTimer::Tick);
    }
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
    if (!notifier_) {
        fallback_.start(interval_);
        return;
    }
    // Relative to now, then every interval after that first deadline: an absolute schedule.
    // A zero interval would disarm the kernel timer; one nanosecond stands for "at once".
    const timespec period = interval_ > 0 ? Milliseconds(interval_) : timespec{0, 1};
    const itimerspec schedule{period, period};
    ::timerfd_settime(clock_.get(), 0, &schedule, nullptr);
    notifier_->setEnabled(true);
}

void TTimer::stop()
{
    active_ = false;
    fallback_.stop();
    if (!notifier_)
        return;
    // Disarming also forgets deadlines that passed unread: no tick comes after a stop.
    const itimerspec disarmed{};
    ::timerfd_settime(clock_.get(), 0, &disarmed, nullptr);
    notifier_->setEnabled(false);
}

void TTimer::Tick()
{
    // However many deadlines passed while the thread was busy, they make one tick.
    std::uint64_t expired = 0;
    if (::read(clock_.get(), &expired, sizeof expired) != sizeof expired || !active_ || ticking_)
        return;
    // The handler may run a nested event loop, or even destroy this timer.
    const QPointer<TTimer> alive(this);
    ticking_ = true;
    emit timeout();
    if (alive)
        ticking_ = false;
}
