#include "app/LocalClock.h"

#include <QTimeZone>

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace {

// FILETIME counts 100 ns from 1601; the C library's seconds count from 1970.
constexpr std::int64_t kUnixEpochTicks = 116'444'736'000'000'000LL;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

} // namespace

QDateTime LocalNow()
{
    // The precise clock: the plain one moves in steps of the system tick (up to 15.6 ms), which
    // would show as hundredths that stand still and jump.
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::int64_t ticks =
        ((static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - kUnixEpochTicks;
    return LocalTime({static_cast<time_t>(ticks / kTicksPerSecond),
                      static_cast<long>(ticks % kTicksPerSecond * 100)});
}

QDateTime LocalTime(const timespec& instant)
{
    const __time64_t seconds = instant.tv_sec;
    tm local{};
    _localtime64_s(&local, &seconds);
    // The local fields read as if they were UTC, less the instant: the zone's offset then.
    const auto offset = static_cast<int>(_mkgmtime64(&local) - seconds);
    return {QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
            QTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                  static_cast<int>(instant.tv_nsec / 1'000'000)),
            QTimeZone(offset)};
}
