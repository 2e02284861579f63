// Any file, read in blocks of a size its first byte picks, is copied as when it is read whole.
// Single-byte text must also come out as a plain reading of the rule says, a line at a time,
// with the library's own date functions; with Windows line ends it differs only in them; and
// in UTF-16 or UTF-32, in either byte order, it comes out as its copy in those units.
#include "stream_copy.h"
#include "track_correction.h"

#include <QBuffer>
#include <QDate>
#include <QHash>
#include <QVector>
#include <QtEndian>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace
{

QByteArray copyOf(const QByteArray &file, qint64 blockSize, LocalToday &today, bool crlf = false)
{
    QBuffer in, out;
    in.setData(file);
    in.open(QIODevice::ReadOnly | QIODevice::Unbuffered); // as the tool opens a track
    out.buffer().reserve(file.size() * 2 + 16);           // at most a line end more for each byte
    out.open(QIODevice::WriteOnly);
    CopyOptions options;
    options.blockSize = blockSize;
    options.crlfLineEnds = crlf;
    options.today = &today;
    if (!copyCorrected(in, out, options).isEmpty())
        std::abort(); // memory devices do not fail
    return out.data();
}

// One line by the rule: the date text between each "<time>" and the next "T", read and moved by
// QDate. A date that moves holds no tag, so moving one changes no other's text.
// Qt's reading goes through the time zone, so each text is read once an input.
QString byTheBook(QString line, const QDate &today, QHash<QString, QDate> &readings)
{
    for (int p = line.indexOf(QLatin1String("<time>")); p >= 0;
         p = line.indexOf(QLatin1String("<time>"), p + 6)) {
        const int t = line.indexOf(QLatin1Char('T'), p + 6);
        if (t < 0)
            break;
        const QString dateText = line.mid(p + 6, t - p - 6);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 reads signed years unlike Qt 5, whose reading is the definition.
        if (dateText.contains(QLatin1Char('+')) || dateText.startsWith(QLatin1Char('-'))) {
            if (!dateText.contains(QLatin1Char('<'))) // else no date, and may hold a tag
                line.replace(p, t - p, correctTimeLine(line.mid(p, t - p + 1), today).chopped(1));
            continue;
        }
#endif
        auto reading = readings.find(dateText);
        if (reading == readings.end())
            reading = readings.insert(dateText,
                                      QDate::fromString(dateText, QStringLiteral("yyyy-MM-dd")));
        const QDate shifted = reading->addDays(7168);
        if (shifted.isValid() && shifted <= today)
            line.replace(p + 6, t - p - 6, shifted.toString(QStringLiteral("yyyy-MM-dd")));
    }
    return line;
}

// A text as text mode reads it (no carriage returns), each line by the rule, and the whole by
// the library's own function for a line; with a line end put back where a carriage return
// stood that no line feed follows, and after a last line without one. Latin-1 maps each byte to
// one character and back.
QByteArray linesByTheBook(const QByteArray &text, const QDate &today)
{
    QByteArray lines(text.size(), Qt::Uninitialized);
    int length = 0;
    QVector<int> loneReturns; // where in `lines` they stood
    const char *const in = text.constData();
    for (int i = 0; i < text.size(); ++i) {
        if (in[i] != '\r')
            lines.data()[length++] = in[i];
        else if (i + 1 == text.size() || in[i + 1] != '\n')
            loneReturns << length;
    }
    lines.truncate(length);
    QStringList corrected;
    QHash<QString, QDate> readings;
    for (const QByteArray &line : lines.split('\n'))
        corrected << byTheBook(QString::fromLatin1(line.constData(), line.size()), today, readings);
    const QString joined = corrected.join(QLatin1Char('\n'));
    if (correctTimeLine(QString::fromLatin1(lines.constData(), lines.size()), today) != joined)
        std::abort();
    QByteArray out = joined.toLatin1();
    for (int i = loneReturns.size() - 1; i >= 0; --i)
        out.insert(loneReturns[i], '\n');
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += '\n';
    return out;
}

// The bytes as units of `width` bytes after a byte-order mark. ASCII stays itself; any other
// byte becomes a unit whose two low bytes are its low seven bits, so 0A0A, 0D0D and 3232: no
// line end and no digit, though a reading by bytes would take them for ones.
template <typename Unit> QByteArray widened(const QByteArray &bytes, bool bigEndian)
{
    std::vector<Unit> units(std::size_t(bytes.size()) + 1);
    units[0] = 0xFEFF;
    for (int i = 0; i < bytes.size(); ++i) {
        const uint c = uchar(bytes.constData()[i]);
        units[std::size_t(i) + 1] = Unit(c < 0x80 ? c : c * 0x101u & 0x7F7F);
    }
    QByteArray out(int(units.size() * sizeof(Unit)), Qt::Uninitialized);
    if (bigEndian)
        qToBigEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    else
        qToLittleEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    return out;
}

QByteArray widened(const QByteArray &bytes, int width, bool bigEndian)
{
    return width == 2 ? widened<quint16>(bytes, bigEndian) : widened<quint32>(bytes, bigEndian);
}

} // namespace

// The C library reads the zone file again at every date Qt converts unless the zone is named:
// with TZ unset, most of a run went to looking at /etc/localtime. Naming that same file keeps
// the zone and reads it once.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray file(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    // One reading of the clock for every copy of the input and both readings of the rule: the
    // zone is consulted for each, and a midnight in between would be no fault of the copy.
    const QDate date = QDate::currentDate();
    LocalToday today{date, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()};
    const QByteArray whole = copyOf(file, 1 << 16, today);
    const int mark = file.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const bool wide = file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF") ||
                      file.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    const qint64 blockSize = 1 + data[0] % 97;
    if (copyOf(file, blockSize, today) != whole ||
        (!wide && (whole != file.left(mark) + linesByTheBook(file.mid(mark), date) ||
                   copyOf(file, 1 << 16, today, true) != QByteArray(whole).replace("\n", "\r\n"))))
        std::abort();
    // UTF-16LE text that begins with a NUL unit reads as a UTF-32LE mark: no text of that kind.
    const bool nulFirst = !file.isEmpty() && (uchar(file[0]) & 0x7F) == 0;
    for (int width = 2; !wide && mark == 0 && !nulFirst && width <= 4; width += 2) {
        // A file cut inside its last unit keeps those bytes after the last line end.
        const QByteArray cut = file.left(file.size() % width);
        // As many units a block as the bytes of the single-byte copy's, and one byte short:
        // the cuts still fall at every byte of a unit in turn, and the smallest blocks hold
        // none whole.
        const qint64 wideBlockSize = blockSize * width - 1;
        for (const bool bigEndian : {false, true})
            if (copyOf(widened(file, width, bigEndian) + cut, wideBlockSize, today) !=
                widened(whole, width, bigEndian) + cut)
                std::abort();
    }
    return 0;
}
