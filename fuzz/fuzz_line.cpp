// Any line through the rule: only the ten characters after the first "<time>" may change, and
// only as a plain reading of the rule with the library's own date functions says.
#include "track_correction.h"

#include <QDate>
#include <QString>

#include <cstdint>
#include <cstdlib>

namespace
{

QString lineFrom(const std::uint8_t *data, std::size_t size)
{
    // The first byte picks how the rest is read: bytes as Latin-1, or pairs as UTF-16 units.
    QString line;
    if (size > 0 && data[0] % 2 == 1) {
        for (std::size_t i = 1; i + 1 < size; i += 2)
            line += QChar(ushort(data[i] | data[i + 1] << 8));
    } else if (size > 0) {
        line = QString::fromLatin1(reinterpret_cast<const char *>(data + 1), int(size - 1));
    }
    // A line has no terminator; text mode has dropped every carriage return.
    return line.replace(QLatin1Char('\n'), QLatin1Char(' ')).remove(QLatin1Char('\r'));
}

QString byTheBook(const QString &line)
{
    const QString tag = QStringLiteral("<time>");
    const int p = line.indexOf(tag);
    if (p < 0)
        return line;
    const QString rest = line.mid(p + tag.size());
    const int t = rest.indexOf(QLatin1Char('T'));
    if (t < 0)
        return line;
    const QString dateText = rest.left(t);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 reads signed years unlike Qt 5, whose reading is the definition.
    if (dateText.contains(QLatin1Char('+')) || dateText.startsWith(QLatin1Char('-')))
        return QString();
#endif
    const QDate date = QDate::fromString(dateText, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        return line;
    const QDate shifted = date.addDays(7168);
    if (shifted > QDate::currentDate())
        return line;
    return line.left(p + tag.size()) + shifted.toString(QStringLiteral("yyyy-MM-dd")) + rest.mid(t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString line = lineFrom(data, size);
    const QString corrected = correctTimeLine(line);
    const QString expected = byTheBook(line);
    if (!expected.isNull() && corrected != expected)
        std::abort();
    if (corrected.size() != line.size())
        std::abort();
    const int p = line.indexOf(QStringLiteral("<time>"));
    for (int i = 0; i < line.size(); ++i) {
        const bool inDate = p >= 0 && i >= p + 6 && i < p + 16;
        if (!inDate && corrected[i] != line[i])
            std::abort();
    }
    return 0;
}
