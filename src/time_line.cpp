#include "time_line_corrector.h"
#include "track_correction.h"

namespace
{

struct StringSink {
    QString &text;
    void append(const char16_t *units, std::size_t count)
    {
        text.append(reinterpret_cast<const QChar *>(units), int(count));
    }
};

} // namespace

QString correctTimeLine(const QString &line)
{
    // The stream corrector is the one statement of the rule; a line is a stream of one line.
    TimeLineCorrector<char16_t> corrector;
    QString result;
    result.reserve(line.size());
    StringSink sink{result};
    QString text = line; // the rule writes moved dates in place
    auto *units = reinterpret_cast<char16_t *>(text.data());
    correctTimeLines(corrector, units, units + text.size(), sink);
    finishTimeLines(corrector, sink);
    return result;
}
