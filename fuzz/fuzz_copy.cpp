// Any file, read in blocks of a size its first byte picks, is copied as when it is read whole.
// Single-byte text must also come out as a plain reading of the rule says (rule_oracle.cpp), and
// as when its reads fall short in the middle; with Windows line ends it
// differs only in them; and in UTF-16 or UTF-32, in either byte order, it comes out as its copy in
// those units.
#include "fuzz_copy.h"

#include "rule_oracle.h"
#include "stream/stream_copy.h"

#include <QBuffer>
#include <QDate>
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

// A copy's bytes, and how many time stamps it says it moved, as -v says it.
struct Copied {
    QByteArray bytes;
    qint64 moved = -1;
    qint64 seen = -1;
};

Copied copyOf(const QByteArray &file, qint64 blockSize, Today &today, bool crlf = false,
              qint64 readCap = std::numeric_limits<qint64>::max(), ReadAhead *readAhead = nullptr,
              qint64 claimed = -1)
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
    TimeStampCount count;
    if (copyCorrected(in, out, options, &count).failure != CopyFailure::none)
        return {"<the copy failed>", -1, -1}; // memory devices do not fail
    return {out.data(), count.moved, count.seen};
}

// Where a copy first differs from what it must be, in its bytes or in how many time stamps it
// says it moved, as a report says it.
QString differs(const char *check, qint64 blockSize, const Copied &copy, const QByteArray &want,
                qint64 moved)
{
    const QByteArray &got = copy.bytes;
    if (got == want)
        return copy.moved == moved ? QString()
                                   : QStringLiteral("%1: %2 time stamps moved, wanted %3")
                                         .arg(QLatin1String(check))
                                         .arg(copy.moved)
                                         .arg(moved);
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
// byte becomes a unit above 0xFF whose two low bytes are its low seven bits, so 0A0A, 0D0D and
// 3232: no line end and no digit, though a reading by bytes would take them for ones, and like
// the byte, a letter of a name.
template <typename Unit> QByteArray widened(const QByteArray &bytes, bool bigEndian, bool mark)
{
    const std::size_t first = mark ? 1 : 0;
    std::vector<Unit> units(std::size_t(bytes.size()) + first);
    if (mark)
        units[0] = 0xFEFF;
    for (int i = 0; i < bytes.size(); ++i) {
        const uint c = uchar(bytes.constData()[i]);
        units[std::size_t(i) + first] = Unit(c < 0x80 ? c : (c * 0x101u & 0x7F7F) | 0x100);
    }
    QByteArray out(int(units.size() * sizeof(Unit)), Qt::Uninitialized);
    if (units.empty())
        return out;
    if (bigEndian)
        qToBigEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    else
        qToLittleEndian<Unit>(units.data(), qsizetype(units.size()), out.data());
    return out;
}

// Whether text with no mark is read as units of that width and byte order: its first unit is
// '<' in them, and no reading of another width or order takes it first.
bool readWithoutMark(const QByteArray &file, int width, bool bigEndian)
{
    if (file.size() < 4)
        return false;
    const auto byte = [&](int i) { return uchar(file[i]); };
    if (width == 4)
        return bigEndian ? file.startsWith(QByteArray("\0\0\0<", 4))
                         : file.startsWith(QByteArray("<\0\0\0", 4));
    return bigEndian ? byte(0) == 0 && byte(1) == '<' && byte(2) == 0
                     : byte(0) == '<' && byte(1) == 0 && byte(2) != 0 && byte(3) == 0;
}

QByteArray widened(const QByteArray &bytes, int width, bool bigEndian, bool mark)
{
    return width == 2 ? widened<quint16>(bytes, bigEndian, mark)
                      : widened<quint32>(bytes, bigEndian, mark);
}

// Whether a file is read as wide text: it begins with a byte-order mark of UTF-16 or UTF-32, or
// with no mark but a first unit that is '<' in one of them.
bool readAsWide(const QByteArray &file)
{
    return file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF") ||
           file.startsWith(QByteArray("\0\0\xFE\xFF", 4)) || readWithoutMark(file, 2, false) ||
           readWithoutMark(file, 2, true) || readWithoutMark(file, 4, false) ||
           readWithoutMark(file, 4, true);
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
    const Copied whole = copyOf(file, 1 << 16, today, false, readCap, nullptr, file.size() + first);
    const int mark = file.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const bool wide = readAsWide(file);
    const qint64 blockSize = 1 + first % 97;
    // Read ahead by a reader thread, as the tool reads a track larger than a block.
    ReadAhead readAhead(blockSize);
    const Copied readAheadCopy = copyOf(file, blockSize, today, false, readCap, &readAhead);
    QString failure =
        differs("read ahead in blocks", blockSize, readAheadCopy, whole.bytes, whole.moved);
    if (wide)
        return failure;
    const RuleReading rule = byTheRule(file.mid(mark), date);
    const qint64 moved = rule.moved;
    if (failure.isEmpty())
        failure = differs("by the rule", 1 << 16, whole, file.left(mark) + rule.text, moved);
    if (failure.isEmpty() && whole.seen != rule.seen)
        failure =
            QStringLiteral("by the rule: %1 values read, wanted %2").arg(whole.seen).arg(rule.seen);
    const Copied crlf = copyOf(file, 1 << 16, today, true);
    if (failure.isEmpty())
        failure = differs("with CR LF line ends", 1 << 16, crlf,
                          QByteArray(whole.bytes).replace("\n", "\r\n"), moved);
    // UTF-16LE text that begins with a NUL unit reads as a UTF-32LE mark: no text of that kind.
    const bool nulFirst = !file.isEmpty() && file[0] == 0;
    for (int width = 2; failure.isEmpty() && mark == 0 && !nulFirst && width <= 4; width += 2) {
        // A file cut inside its last unit keeps those bytes after the last line end.
        const QByteArray cut = file.left(file.size() % width);
        // As many units a block as the bytes of the single-byte copy's, and one byte short:
        // the cuts still fall at every byte of a unit in turn, and the smallest blocks hold
        // none whole.
        const qint64 wideBlockSize = blockSize * width - 1;
        for (const bool bigEndian : {false, true}) {
            const char *const name = width == 2 ? (bigEndian ? "UTF-16BE" : "UTF-16LE")
                                                : (bigEndian ? "UTF-32BE" : "UTF-32LE");
            // With a mark, but where the bare text is read in these units without one.
            const bool mark =
                !readWithoutMark(widened(file, width, bigEndian, false), width, bigEndian);
            const Copied copy =
                copyOf(widened(file, width, bigEndian, mark) + cut, wideBlockSize, today);
            if (failure.isEmpty())
                failure = differs(name, wideBlockSize, copy,
                                  widened(whole.bytes, width, bigEndian, mark) + cut, moved);
        }
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
