#include "app/ClockWatch.h"

#include <QWinEventNotifier>

ClockWatch::ClockWatch(const PeriodicClock& clock, std::function<void()> expired)
{
    auto notifier =
        std::make_unique<QWinEventNotifier>(reinterpret_cast<Qt::HANDLE>(clock.Watched()));
    notifier->setEnabled(false);
    QObject::connect(notifier.get(), &QWinEventNotifier::activated, notifier.get(),
                     [expired = std::move(expired)] { expired(); });
    enable_ = [watch = notifier.get()](bool enabled) { watch->setEnabled(enabled); };
    notifier_ = std::move(notifier);
}

