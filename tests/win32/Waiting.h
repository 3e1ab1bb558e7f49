#pragma once
// Bounded waits that keep the Qt event loop running, so that what the event thread hands over
// is delivered meanwhile.

#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <functional>

// Runs the event loop until done() holds or the limit has passed; returns done().
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        QEventLoop loop;
        QTimer::singleShot(1, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Runs the event loop for the given time (to show that something does NOT happen).
inline void RunEventLoop(std::chrono::milliseconds time)
{
    WaitUntil([] { return false; }, time);
}
