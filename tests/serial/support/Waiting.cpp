#include "Waiting.h"

#include <QEventLoop>
#include <QTimer>

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
