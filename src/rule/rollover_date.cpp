#include "rule/rollover_date.h"

#include <QDateTime>

namespace
{

constexpr qint64 dayMs = 24 * 60 * 60 * 1000;
// The zone furthest ahead of UTC (the Line Islands): its date is the latest on Earth.
constexpr qint64 latestOffsetMs = 14 * 60 * 60 * 1000;

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

// The day of the latest date on Earth at `ms`, counted from 1970-01-01.
qint64 latestDay(qint64 ms)
{
    return floorDiv(ms + latestOffsetMs, dayMs);
}

} // namespace

QDate latestDateAt(qint64 msSinceEpoch)
{
    return QDate(1970, 1, 1).addDays(latestDay(msSinceEpoch));
}

QDate currentToday(Today &today)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now >= today.validFromMs && now < today.validUntilMs)
        return today.date;
    today.date = latestDateAt(now);
    today.validFromMs = latestDay(now) * dayMs - latestOffsetMs;
    today.validUntilMs = today.validFromMs + dayMs;
    return today.date;
}
