#include "rollover_date.h"

#include <QDateTime>
#include <QTime>

#include <algorithm>

namespace
{

constexpr qint64 dayMs = 24 * 60 * 60 * 1000;

qint64 startOfLocalDayMs(const QDate &date)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    return date.startOfDay().toMSecsSinceEpoch(); // right even where a midnight is skipped
#else
    return QDateTime(date, QTime(0, 0)).toMSecsSinceEpoch();
#endif
}

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - (a % b < 0 ? 1 : 0);
}

} // namespace

QDate currentToday(Today &today)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now >= today.validFromMs && now < today.validUntilMs)
        return today.date;
    const QDate local = QDateTime::fromMSecsSinceEpoch(now).date();
    const qint64 utcDay = floorDiv(now, dayMs);
    const QDate utc = QDate(1970, 1, 1).addDays(utcDay);
    today.date = std::max(local, utc);
    // Valid until whichever midnight comes first, the local one or UTC's.
    today.validFromMs = std::max(startOfLocalDayMs(local), utcDay * dayMs);
    today.validUntilMs = std::min(startOfLocalDayMs(local.addDays(1)), (utcDay + 1) * dayMs);
    // A zone odd enough that the local day's bounds do not hold `now`: trust nothing cached and
    // read again next time.
    if (!(now >= today.validFromMs && now < today.validUntilMs))
        today.validUntilMs = today.validFromMs;
    return today.date;
}
