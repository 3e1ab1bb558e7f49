// Timer1's own rules: a busy thread gets one late tick, not a backlog, and a stopped timer is
// silent even when a deadline passed just before the stop.
#include "app/Timer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Keeps the thread busy, as a slow tick would, without running the event loop.
void Busy(std::chrono::milliseconds span)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < span.count())
        std::this_thread::sleep_for(1ms);
}

TEST(TestTimer, ABusyThreadGetsOneTickNotABacklog)
{
    TTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &TTimer::timeout, [&] { ++ticks; });
    timer.start(20);
    EXPECT_TRUE(timer.isActive());
    EXPECT_EQ(timer.interval(), 20);
    Busy(150ms); // seven deadlines pass
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1);
}

TEST(TestTimer, AStoppedTimerIsSilentThoughADeadlinePassed)
{
    TTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &TTimer::timeout, [&] { ++ticks; });
    timer.start(5);
    Busy(30ms);
    timer.stop();
    EXPECT_FALSE(timer.isActive());
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < 50)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(ticks, 0);
}

} // namespace
