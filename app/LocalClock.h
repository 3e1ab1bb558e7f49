#pragma once
// The PC clock as the window reads it: now, in the local time zone, to the millisecond.
//
// QDateTime::currentDateTime() looks at the zone file again on every call. At Actual Time's 77
// ticks a second that was most of the work between a tick and its line leaving, and its varying
// cost showed at the board as wander between lines. The C library's local time reads the zone
// once, at first use, and follows its daylight-saving rules from then on (app/linux, app/win32).
// The result carries its offset from UTC, so its date, its time of day and the instant are all
// right.

#include <QDateTime>

#include <ctime>

QDateTime LocalNow();
// The same for a given instant. A zone that counts leap seconds (right/...) names one as second
// 60, which no clock face has: it shows as a second 59.
QDateTime LocalTime(const timespec& instant);
