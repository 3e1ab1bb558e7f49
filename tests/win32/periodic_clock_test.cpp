// The clock behind Actual Time's ticks on Windows: a waitable timer the event loop watches, on
// this system's timers and on scripted ones that play what other Windows builds do.
#include "ScriptedTimer.h"
#include "support/Waiting.h"

#include "app/Timer.h"
#include "os/PeriodicClock.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The moments a timer ticked at, the first tick's handler keeping the thread busy for a while.
std::vector<Clock::time_point> Ticks(TTimer& timer, int intervalMs, int count,
                                     std::chrono::milliseconds firstBusy = 0ms)
{
    std::vector<Clock::time_point> ticks;
    QObject::connect(&timer, &TTimer::timeout, &timer, [&] {
        ticks.push_back(Clock::now());
        if (ticks.size() == 1)
            ::Sleep(static_cast<DWORD>(firstBusy.count())); // the window's thread, busy
    });
    timer.start(intervalMs);
    WaitUntil([&] { return static_cast<int>(ticks.size()) >= count; }, 5s);
    timer.stop();
    return ticks;
}

} // namespace

TEST(Win32Clock, ExpiresEveryIntervalWhileArmedAndNeverAfterDisarm)
{
    PeriodicClock clock;
    ASSERT_TRUE(clock.Valid()) << "no clock: Actual Time would tick on the system's 15.6 ms";
    const HANDLE timer = reinterpret_cast<HANDLE>(clock.Watched());
    ASSERT_TRUE(clock.Arm(5));
    // Each wait takes one expiry; a generous bound, as the host may be busy.
    for (int expiry = 1; expiry <= 3; ++expiry) {
        ASSERT_EQ(::WaitForSingleObject(timer, 2000), WAIT_OBJECT_0) << "expiry " << expiry;
        EXPECT_TRUE(clock.Expired());
    }
    ::Sleep(20); // deadlines pass unread
    clock.Disarm();
    EXPECT_FALSE(clock.Expired());
    EXPECT_EQ(::WaitForSingleObject(timer, 50), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a deadline that passed before the disarm still came";
}

TEST(Win32Clock, ActualTimeTicksOnEveryBuild)
{
    using Build = ScriptedTimer::Build;
    for (const Build build : {Build::Windows1809, Build::Before1803}) {
        SCOPED_TRACE(build == Build::Windows1809 ? "1809" : "before 1803");
        const auto calls = std::make_shared<ScriptedTimer>(build);
        TTimer timer(nullptr, calls);
        int held = 0;
        QObject::connect(&timer, &TTimer::timeout, &timer, [&] { held = calls->FinerTicksHeld(); });
        EXPECT_GE(Ticks(timer, 10, 5).size(), 5u);
        // An ordinary timer keeps a millisecond's system tick while it runs, and no longer.
        EXPECT_EQ(held, build == Build::Before1803 ? 1 : 0);
        EXPECT_EQ(calls->FinerTicksHeld(), 0);
    }
}

TEST(Win32Clock, AThreadBusyForSeveralIntervalsGetsOneTickNotABurst)
{
    // Scripted, and on this system's own timers.
    for (const bool scripted : {true, false}) {
        SCOPED_TRACE(scripted ? "scripted timer" : "this system's timer");
        TTimer timer(nullptr, scripted ? std::make_shared<ScriptedTimer>(ScriptedTimer::Build::Current)
                                       : nullptr);
        constexpr int kInterval = 20;
        const auto ticks = Ticks(timer, kInterval, 6, 4 * kInterval * 1ms + 10ms);
        ASSERT_GE(ticks.size(), 6u);
        for (std::size_t i = 1; i < ticks.size(); ++i)
            EXPECT_GE(ticks[i] - ticks[i - 1], kInterval * 1ms / 2) << "tick " << i;
    }
}
