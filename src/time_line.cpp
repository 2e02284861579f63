#include "time_line_corrector.h"
#include "track_correction.h"

QString correctTimeLine(const QString &line, const QDate &today)
{
    // The stream corrector is the one statement of the rule; a line is a stream of one line.
    LastDate<char16_t> last;
    TimeStampCount count;
    QString result = line; // the rule writes moved dates in place
    auto *units = reinterpret_cast<char16_t *>(result.data());
    correctTimeLines(units, units + result.size(), true, today, last, count);
    return result;
}
