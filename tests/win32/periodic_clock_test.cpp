// The clock behind Actual Time's ticks on Windows: a waitable timer the event loop watches.
#include "os/PeriodicClock.h"

#include <gtest/gtest.h>

#include <windows.h>

TEST(Win32Clock, ExpiresEveryIntervalWhileArmedAndNeverAfterDisarm)
{
    PeriodicClock clock;
    ASSERT_TRUE(clock.Valid()) << "no clock: Actual Time would tick on the system's 15.6 ms";
    const HANDLE timer = reinterpret_cast<HANDLE>(clock.Watched());
    clock.Arm(5);
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
