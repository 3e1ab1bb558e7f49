#include "app/LocalClock.h"

#include <QTimeZone>

#include <ctime>

QDateTime LocalNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return {QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
            QTime(local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_nsec / 1'000'000)),
            QTimeZone(static_cast<int>(local.tm_gmtoff))};
}
