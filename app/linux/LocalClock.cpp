#include "app/LocalClock.h"

#include <QTimeZone>

#include <algorithm>

QDateTime LocalNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return LocalTime(now);
}

QDateTime LocalTime(const timespec& instant)
{
    tm local{};
    localtime_r(&instant.tv_sec, &local);
    return {QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
            QTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
                  static_cast<int>(instant.tv_nsec / 1'000'000)),
            QTimeZone(static_cast<int>(local.tm_gmtoff))};
}
