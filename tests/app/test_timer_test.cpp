// Timer1's own rules: a busy thread gets one late tick, not a backlog, and a stopped timer is
// silent even when a deadline passed just before the stop. And the clock the ticks read.
#include "app/LocalClock.h"
#include "app/Timer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
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

// The window's clock against Qt's in zones whose offsets catch a field taken from the wrong
// place: half an hour east, and a southern zone with daylight saving.
TEST(LocalClock, AgreesWithQtOnTheInstantAndTheLocalOffset)
{
    const char* const before = std::getenv("TZ");
    const std::optional<std::string> saved = before ? std::optional<std::string>(before) : std::nullopt;
    for (const char* zone : {"<+0530>-5:30", "<-03>3<-02>,M10.1.0/0,M3.3.0/0", "UTC0"}) {
        SCOPED_TRACE(zone);
        ::setenv("TZ", zone, 1);
        ::tzset();
        const QDateTime ours = LocalNow();
        const QDateTime qts = QDateTime::currentDateTime();
        EXPECT_EQ(ours.offsetFromUtc(), qts.offsetFromUtc());
        EXPECT_LT(std::abs(ours.msecsTo(qts)), 1000);
    }
    // The leap second at the end of 2016, in a zone that counts it, shows as a second 59.
    if (QFile::exists("/usr/share/zoneinfo/right/UTC")) {
        ::setenv("TZ", "right/UTC", 1);
        ::tzset();
        const QTime leap = LocalTime({1483228826, 500'000'000}).time();
        EXPECT_EQ(leap, QTime(23, 59, 59, 500)) << leap.toString().toStdString();
    }
    if (saved)
        ::setenv("TZ", saved->c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

} // namespace
