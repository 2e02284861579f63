// Any file, read in blocks of a size its first byte picks, is copied as when it is read whole.
// Single-byte text must also come out as a plain reading of the rule says, a line at a time,
// with the library's own date functions; with Windows line ends it differs only in them; and
// in UTF-16 or UTF-32, in either byte order, it comes out as its copy in those units.
#include "stream_copy.h"
#include "track_correction.h"

#include <QBuffer>
#include <QDate>

#include <cstdint>
#include <cstdlib>

namespace
{

QByteArray copyOf(const QByteArray &file, qint64 blockSize, bool crlf = false)
{
    QBuffer in, out;
    in.setData(file);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    CopyOptions options;
    options.blockSize = blockSize;
    options.crlfLineEnds = crlf;
    if (!copyCorrected(in, out, options).isEmpty())
        std::abort(); // memory devices do not fail
    return out.data();
}

// One line by the rule: the date text between the first "<time>" and the next "T", read and
// moved by QDate.
QString byTheBook(const QString &line)
{
    const int p = line.indexOf(QLatin1String("<time>"));
    const int t = line.indexOf(QLatin1Char('T'), p + 6);
    const QString dateText = line.mid(p + 6, t - p - 6);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 reads signed years unlike Qt 5, whose reading is the definition.
    if (dateText.contains(QLatin1Char('+')) || dateText.startsWith(QLatin1Char('-')))
        return correctTimeLine(line);
#endif
    const QDate shifted = QDate::fromString(dateText, QStringLiteral("yyyy-MM-dd")).addDays(7168);
    if (p < 0 || t < 0 || !shifted.isValid() || shifted > QDate::currentDate())
        return line;
    return QString(line).replace(p + 6, t - p - 6, shifted.toString(QStringLiteral("yyyy-MM-dd")));
}

// The lines of a text as text mode reads them, each by the rule and by the library's own
// function for a line, with a line end. Latin-1 maps each byte to one character and back.
QByteArray linesByTheBook(QByteArray text)
{
    text.replace('\r', "");
    if (text.isEmpty())
        return text;
    if (text.endsWith('\n'))
        text.chop(1);
    QByteArray out;
    for (const QByteArray &bytes : text.split('\n')) {
        const QString line = QString::fromLatin1(bytes.constData(), bytes.size());
        const QString corrected = byTheBook(line);
        if (correctTimeLine(line) != corrected)
            std::abort();
        out += corrected.toLatin1() + '\n';
    }
    return out;
}

// The bytes as units of `width` bytes after a byte-order mark. ASCII stays itself; any other
// byte becomes a unit whose two low bytes are its low seven bits, so 0A0A, 0D0D and 3232: no
// line end and no digit, though a reading by bytes would take them for ones.
QByteArray widened(const QByteArray &bytes, int width, bool bigEndian)
{
    QByteArray out;
    const auto append = [&](uint unit) {
        for (int i = 0; i < width; ++i)
            out += char(unit >> 8 * (bigEndian ? width - 1 - i : i));
    };
    append(0xFEFF);
    for (const char c : bytes)
        append(uchar(c) < 0x80 ? uchar(c) : uchar(c) * 0x101u & 0x7F7F);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray file(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const QByteArray whole = copyOf(file, 1 << 16);
    const int mark = file.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const bool wide = file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF") ||
                      file.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    const qint64 blockSize = 1 + data[0] % 97;
    if (copyOf(file, blockSize) != whole ||
        (!wide && (whole != file.left(mark) + linesByTheBook(file.mid(mark)) ||
                   copyOf(file, 1 << 16, true) != QByteArray(whole).replace("\n", "\r\n"))))
        std::abort();
    // UTF-16LE text that begins with a NUL unit reads as a UTF-32LE mark: no text of that kind.
    const bool nulFirst = !file.isEmpty() && (uchar(file[0]) & 0x7F) == 0;
    for (int width = 2; !wide && mark == 0 && !nulFirst && width <= 4; width += 2) {
        // A file cut inside its last unit keeps those bytes after the last line end.
        const QByteArray cut = file.left(file.size() % width);
        for (const bool bigEndian : {false, true})
            if (copyOf(widened(file, width, bigEndian) + cut, blockSize) !=
                widened(whole, width, bigEndian) + cut)
                std::abort();
    }
    return 0;
}
