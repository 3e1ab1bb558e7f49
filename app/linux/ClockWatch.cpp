#include "app/ClockWatch.h"

#include <QSocketNotifier>

ClockWatch::ClockWatch(const PeriodicClock& clock, std::function<void()> expired)
{
    auto notifier = std::make_unique<QSocketNotifier>(clock.Watched(), QSocketNotifier::Read);
    notifier->setEnabled(false);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                     [expired = std::move(expired)] { expired(); });
    enable_ = [watch = notifier.get()](bool enabled) { watch->setEnabled(enabled); };
    notifier_ = std::move(notifier);
}

