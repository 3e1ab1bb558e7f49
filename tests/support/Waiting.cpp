#include "Waiting.h"

#include <QEventLoop>
#include <QTimer>

#include <thread>

namespace {
void RunFor(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        RunFor(std::chrono::milliseconds(1));
    }
    return true;
}

void RunEventLoop(std::chrono::milliseconds time) { RunFor(time); }

bool WaitWithoutEvents(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a pause between looks
    }
    return true;
}
