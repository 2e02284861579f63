// Any file, read in blocks of a size its first byte picks, is copied as when it is read whole.
// Single-byte text must also come out as a plain reading of the rule says, with the library's
// own date functions, and as when its reads fall short in the middle; with Windows line ends it
// differs only in them; and in UTF-16 or UTF-32, in either byte order, it comes out as its copy in
// those units.
#include "fuzz_copy.h"

#include "stream_copy.h"

#include <QBuffer>
#include <QDate>
#include <QHash>
#include <QVector>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace
{

// A file whose reads bring at most `cap` bytes, as a FUSE driver or a network share may give
// them in the middle of a file, and which may say it is larger than it is, as a file that
// shrinks while it is copied.
struct ShortReads : QBuffer {
    qint64 cap = std::numeric_limits<qint64>::max();
    qint64 claimed = -1;
    qint64 size() const override { return claimed >= 0 ? claimed : QBuffer::size(); }
    qint64 readData(char *data, qint64 size) override
    {
        return QBuffer::readData(data, std::min(size, cap));
    }
};

QByteArray copyOf(const QByteArray &file, qint64 blockSize, Today &today, bool crlf = false,
                  qint64 readCap = std::numeric_limits<qint64>::max(),
                  ReadAhead *readAhead = nullptr, qint64 claimed = -1)
{
    ShortReads in;
    QBuffer out;
    in.cap = readCap;
    in.claimed = claimed;
    in.setData(file);
    in.open(QIODevice::ReadOnly | QIODevice::Unbuffered); // as the tool opens a track
    out.buffer().reserve(file.size() * 2 + 16);           // at most a line end more for each byte
    out.open(QIODevice::WriteOnly);
    CopyOptions options;
    options.blockSize = blockSize;
    options.crlfLineEnds = crlf;
    options.today = &today;
    options.readAhead = readAhead;
    if (copyCorrected(in, out, options).failure != CopyFailure::none)
        return "<the copy failed>"; // memory devices do not fail
    return out.data();
}

bool isWhitespace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

// The text by the rule: after each "<time>" and the whitespace after it, the date text that runs
// to the next "T", read and moved by QDate, the search going on after the whitespace; then every
// line break one line feed, and a last line without one given one. Latin-1 maps each byte to
// one character and back. Qt's reading goes through the time zone, so each text is read once an
// input.
QByteArray byTheBook(const QByteArray &bytes, const QDate &today)
{
    QString text = QString::fromLatin1(bytes.constData(), bytes.size());
    QHash<QString, QDate> readings;
    for (int p = text.indexOf(QLatin1String("<time>")); p >= 0;
         p = text.indexOf(QLatin1String("<time>"), p)) {
        p += 6;
        while (p < text.size() && isWhitespace(text[p]))
            ++p;
        const int t = text.indexOf(QLatin1Char('T'), p);
        if (t < 0)
            break;
        const QString dateText = text.mid(p, t - p);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // Qt 6 reads signed years unlike Qt 5, whose reading is the definition: the rule's own
        // reading of such a text stands in for it.
        if (dateText.contains(QLatin1Char('+')) || dateText.startsWith(QLatin1Char('-'))) {
            if (dateText.size() == 10) {
                QString date = dateText + 'T';
                auto *units = reinterpret_cast<char16_t *>(date.data());
                RuleState<char16_t> state;
                state.awaitingDate = true;
                TimeStampCount count;
                correctTimeStamps(units, units + date.size(), true, today, state, count);
                text.replace(p, 10, date.left(10));
            }
            continue;
        }
#endif
        auto reading = readings.find(dateText);
        if (reading == readings.end())
            reading = readings.insert(dateText,
                                      QDate::fromString(dateText, QStringLiteral("yyyy-MM-dd")));
        const QDate shifted = reading->addDays(7168);
        if (shifted.isValid() && shifted <= today)
            text.replace(p, t - p, shifted.toString(QStringLiteral("yyyy-MM-dd")));
    }
    QByteArray out = text.toLatin1().replace("\r\n", "\n").replace('\r', '\n');
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += '\n';
    return out;
}

// Where two copies first differ, as a report says it.
QString differs(const char *check, qint64 blockSize, const QByteArray &got, const QByteArray &want)
{
    if (got == want)
        return QString();
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return QStringLiteral("%1, blocks of %2 bytes: the copy differs from byte %3 on (%4 bytes, "
                          "wanted %5)")
        .arg(QLatin1String(check))
        .arg(blockSize)
        .arg(at.first - got.begin())
        .arg(got.size())
        .arg(want.size());
}

// The bytes as units of `width` bytes after a byte-order mark. ASCII stays itself; any other
// byte becomes a unit whose two low bytes are its low seven bits, so 0A0A, 0D0D and 3232: no
// line end and no digit, though a reading by bytes would take them for ones.
template <typename Unit> QByteArray widened(const QByteArray &bytes, bool bigEndian, bool mark)
{
    const std::size_t first = mark ? 1 : 0;
    std::vector<Unit> units(std::size_t(bytes.size()) + first);
    if (mark)
        units[0] = 0xFEFF;
    for (int i = 0; i < bytes.size(); ++i) {
        const uint c = uchar(bytes.constData()[i]);
        units[std::size_t(i) + first] = Unit(c < 0x80 ? c : c * 0x101u & 0x7F7F);
    }
    QByteArray out(int(units.size() * sizeof(Unit)), Qt::Uninitialized);
    if (bigEndian)
        qToBigEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    else
        qToLittleEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    return out;
}

QByteArray widened(const QByteArray &bytes, int width, bool bigEndian, bool mark)
{
    return width == 2 ? widened<quint16>(bytes, bigEndian, mark)
                      : widened<quint32>(bytes, bigEndian, mark);
}

} // namespace

QString checkCopy(const QByteArray &input)
{
    if (input.isEmpty())
        return QString();
    const uchar first = uchar(input[0]);
    const QByteArray file = input.mid(1);
    // One reading of the clock for every copy of the input and the reference: the zone is
    // consulted for each, and a midnight in between would be no fault of the copy.
    Today today;
    const QDate date = currentToday(today);
    today.validFromMs = std::numeric_limits<qint64>::min();
    today.validUntilMs = std::numeric_limits<qint64>::max();
    // The whole copy, with reads that fall short in the middle of the file, of a file that says
    // it is larger than it is: it ends where a read brings nothing.
    const qint64 readCap = 251 + qint64(first) * 7;
    const QByteArray whole =
        copyOf(file, 1 << 16, today, false, readCap, nullptr, file.size() + first);
    const int mark = file.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    // Wide text, told by its mark or, without one, by the units XML's declaration begins with.
    const QByteArray heads[] = {QByteArray("\xFF\xFE"),        QByteArray("\xFE\xFF"),
                                QByteArray("\0\0\xFE\xFF", 4), QByteArray("\0\0\0<", 4),
                                QByteArray("<\0\0\0", 4),      QByteArray("\0<\0?", 4),
                                QByteArray("<\0?\0", 4)};
    const bool wide = std::any_of(std::begin(heads), std::end(heads),
                                  [&](const QByteArray &head) { return file.startsWith(head); });
    const qint64 blockSize = 1 + first % 97;
    // Read ahead by a reader thread, as the tool reads a track larger than a block.
    ReadAhead readAhead(bytesBeforeBlock, blockSize);
    QString failure = differs("read ahead in blocks", blockSize,
                              copyOf(file, blockSize, today, false, readCap, &readAhead), whole);
    if (failure.isEmpty() && !wide)
        failure = differs("by the rule", 1 << 16, whole,
                          file.left(mark) + byTheBook(file.mid(mark), date));
    if (failure.isEmpty() && !wide)
        failure = differs("with CR LF line ends", 1 << 16, copyOf(file, 1 << 16, today, true),
                          QByteArray(whole).replace("\n", "\r\n"));
    // UTF-16LE text that begins with a NUL unit reads as a UTF-32LE mark: no text of that kind.
    const bool nulFirst = !file.isEmpty() && (uchar(file[0]) & 0x7F) == 0;
    for (int width = 2; failure.isEmpty() && !wide && mark == 0 && !nulFirst && width <= 4;
         width += 2) {
        // A file cut inside its last unit keeps those bytes after the last line end.
        const QByteArray cut = file.left(file.size() % width);
        // As many units a block as the bytes of the single-byte copy's, and one byte short:
        // the cuts still fall at every byte of a unit in turn, and the smallest blocks hold
        // none whole.
        const qint64 wideBlockSize = blockSize * width - 1;
        // Without a mark, where the text begins as XML 1.0's appendix F reads the encoding.
        const bool mark = !file.startsWith(width == 2 ? "<?" : "<");
        for (const bool bigEndian : {false, true})
            if (failure.isEmpty())
                failure = differs(
                    width == 2 ? (bigEndian ? "UTF-16BE" : "UTF-16LE")
                               : (bigEndian ? "UTF-32BE" : "UTF-32LE"),
                    wideBlockSize,
                    copyOf(widened(file, width, bigEndian, mark) + cut, wideBlockSize, today),
                    widened(whole, width, bigEndian, mark) + cut);
    }
    return failure;
}

// The C library reads the zone file again at every date Qt converts unless the zone is named:
// with TZ unset, most of a run went to looking at /etc/localtime. Naming that same file keeps
// the zone and reads it once.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    return 0;
}

// Any file, read in blocks of a size its first byte picks, is copied as when it is read whole.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString failure = checkCopy(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "fuzz_copy: %s\n", qPrintable(failure));
        std::abort();
    }
    return 0;
}
