#include "rollover_date.h"

#include <QDateTime>
#include <QTime>

namespace
{

qint64 startOfLocalDayMs(const QDate &date)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    return date.startOfDay().toMSecsSinceEpoch(); // right even where a midnight is skipped
#else
    return QDateTime(date, QTime(0, 0)).toMSecsSinceEpoch();
#endif
}

} // namespace

QDate currentLocalDate(LocalToday &today)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now >= today.validFromMs && now < today.validUntilMs)
        return today.date;
    today.date = QDate::currentDate();
    today.validFromMs = startOfLocalDayMs(today.date);
    today.validUntilMs = startOfLocalDayMs(today.date.addDays(1));
    // Midnight may have passed between the two clock reads, or the zone may be odd enough that
    // the day's bounds do not hold `now`: then trust nothing cached and read again next time.
    if (!(now >= today.validFromMs && now < today.validUntilMs))
        today.validUntilMs = today.validFromMs;
    return today.date;
}
