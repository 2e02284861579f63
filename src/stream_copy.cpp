#include "stream_copy.h"

#include "interruption.h"
#include "time_line_corrector.h"

#include <QByteArray>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace
{

struct Encoding {
    int unitSize = 1;
    bool bigEndian = false;
    int markSize = 0;
};

// The byte-order marks that decide a unit width; Qt's text streams detect the same ones.
// UTF-32LE is tested before UTF-16LE, whose mark it begins with.
Encoding detectEncoding(const char *head, qint64 size)
{
    const auto starts = [&](const char *mark, int length) {
        return size >= length && std::memcmp(head, mark, std::size_t(length)) == 0;
    };
    if (starts("\xFF\xFE\x00\x00", 4))
        return {4, false, 4};
    if (starts("\x00\x00\xFE\xFF", 4))
        return {4, true, 4};
    if (starts("\xFF\xFE", 2))
        return {2, false, 2};
    if (starts("\xFE\xFF", 2))
        return {2, true, 2};
    // A UTF-8 mark changes nothing in how the bytes are read, but it is no line of text either:
    // a file that holds nothing else gets no line end.
    if (starts("\xEF\xBB\xBF", 3))
        return {1, false, 3};
    return {};
}

// Reads until `size` bytes are in or the input ends; returns the count, or -1 on an error.
qint64 readFully(QIODevice &in, char *into, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = in.read(into + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// The kernel copies a block into or out of a buffer that starts on a page about twice as fast
// as into one that does not, and std::vector's storage never does.
constexpr std::size_t pageSize = 4096;
struct PageAlignedDelete {
    void operator()(char *p) const { ::operator delete[](p, std::align_val_t(pageSize)); }
};
using PageBuffer = std::unique_ptr<char[], PageAlignedDelete>;
PageBuffer pageAligned(std::size_t size)
{
    return PageBuffer(static_cast<char *>(::operator new[](size, std::align_val_t(pageSize))));
}

// A file smaller than a block is read with a buffer no bigger than itself: over a card's many
// small tracks, such buffers come back from the heap the last file returned, where full blocks
// would be mapped afresh, faulted in page by page and unmapped again for every file.
qint64 blockSizeFor(const QIODevice &in, const CopyOptions &options)
{
    const qint64 blockSize = std::max<qint64>(options.blockSize, 1);
    if (in.isSequential())
        return blockSize;
    const qint64 left = std::max<qint64>(in.size() - in.pos(), 1);
    return std::min(blockSize, (left + qint64(pageSize) - 1) / qint64(pageSize) * qint64(pageSize));
}

// Qt's byte-order helpers take plain unsigned integers, not character types.
template <typename Unit> using RawUnit = std::conditional_t<sizeof(Unit) == 2, quint16, quint32>;

// Buffers the output units in the file's byte order and writes them out a buffer at a time.
template <typename Unit> struct UnitWriter {
    QIODevice &out;
    bool bigEndian;
    const CopyOptions &options;
    PageBuffer buffer; // of `size` bytes; `used` says how much of it holds output
    std::size_t size;
    std::size_t used = 0;
    qint64 written = 0;
    qint64 handedOver = 0; // what writtenThrough has been told of
    bool failed = false;

    void writeOut(const char *bytes, std::size_t count)
    {
        // A short write is not yet a failure: writing the rest tells why it stopped (a full
        // disk, say), where the short count alone would leave the reason unknown.
        for (qint64 left = qint64(count); left > 0 && !failed;) {
            const qint64 n = out.write(bytes + qint64(count) - left, left);
            if (n <= 0)
                failed = true;
            else
                left -= n;
        }
        written += qint64(count);
        if (options.writtenThrough && written - handedOver >= options.writtenThroughStep) {
            options.writtenThrough(handedOver, written - handedOver);
            handedOver = written;
        }
    }

    void flush()
    {
        writeOut(buffer.get(), used);
        used = 0;
    }

    void appendRaw(const char *bytes, std::size_t count)
    {
        if (count > size - used)
            flush();
        if (used == 0 && count >= size / 2) { // a large span goes out as it is
            writeOut(bytes, count);
            return;
        }
        std::memcpy(buffer.get() + used, bytes, count);
        used += count;
    }

    void appendUnit(Unit u)
    {
        char bytes[sizeof(Unit)];
        if constexpr (sizeof(Unit) == 1)
            bytes[0] = char(u);
        else if (bigEndian)
            qToBigEndian<RawUnit<Unit>>(RawUnit<Unit>(u), bytes);
        else
            qToLittleEndian<RawUnit<Unit>>(RawUnit<Unit>(u), bytes);
        appendRaw(bytes, sizeof(Unit));
    }

    void append(const Unit *units, std::size_t count)
    {
        if constexpr (sizeof(Unit) == 1) {
            if (!options.crlfLineEnds) {
                appendRaw(reinterpret_cast<const char *>(units), count);
                return;
            }
        }
        for (const Unit *u = units; u != units + count; ++u) {
            if (options.crlfLineEnds && *u == Unit('\n'))
                appendUnit(Unit('\r'));
            appendUnit(*u);
        }
    }
};

template <typename Unit> std::size_t dropCarriageReturns(Unit *units, std::size_t count)
{
    Unit *end = units + count;
    Unit *first = const_cast<Unit *>(detail::findUnit<Unit>(units, end, '\r'));
    return first == end ? count : std::size_t(std::remove(first, end, Unit('\r')) - units);
}

// `head` holds the first bytes of the input, its byte-order mark included.
template <typename Unit>
QString copyUnits(QIODevice &in, QIODevice &out, const Encoding &encoding, const QByteArray &head,
                  const CopyOptions &options)
{
    const qint64 blockSize = blockSizeFor(in, options);
    UnitWriter<Unit> writer{out, encoding.bigEndian, options, pageAligned(std::size_t(blockSize)),
                            std::size_t(blockSize)};
    writer.appendRaw(head.constData(), std::size_t(encoding.markSize));
    const QByteArray pending = head.mid(encoding.markSize);
    TimeLineCorrector<Unit> corrector;
    // Each block is read to the start of a page; the few bytes carried over from the block
    // before (at most a unit's, or the first bytes of the file) go just in front of it.
    const PageBuffer raw = pageAligned(pageSize + std::size_t(blockSize));
    char *const readTo = raw.get() + pageSize;
    std::vector<Unit> units(sizeof(Unit) == 1 ? 0 : std::size_t(blockSize) / sizeof(Unit) + 2);
    qint64 carried = pending.size(); // bytes of an incomplete unit, or not yet converted
    std::memcpy(readTo - carried, pending.constData(), std::size_t(carried));
    Unit lastUnit = Unit('\n'); // so that an empty text gets no line end
    bool atEnd = false;
    while (!atEnd) {
        if (interruption())
            return QStringLiteral("interrupted");
        const qint64 n = in.read(readTo, blockSize);
        if (n < 0)
            return QStringLiteral("cannot read: ") + in.errorString();
        atEnd = n == 0;
        char *const start = readTo - carried;
        const qint64 total = carried + n;
        std::size_t count = std::size_t(total) / sizeof(Unit);
        Unit *text = units.data();
        if constexpr (sizeof(Unit) == 1) {
            text = reinterpret_cast<Unit *>(start);
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                const char *at = start + i * sizeof(Unit);
                text[i] = Unit(encoding.bigEndian ? qFromBigEndian<RawUnit<Unit>>(at)
                                                  : qFromLittleEndian<RawUnit<Unit>>(at));
            }
        }
        carried = total - qint64(count * sizeof(Unit));
        count = dropCarriageReturns(text, count);
        if (count > 0) {
            correctTimeLines(corrector, text, text + count, writer);
            lastUnit = text[count - 1];
        }
        std::memmove(readTo - carried, start + total - carried, std::size_t(carried));
        if (writer.failed)
            break;
    }
    finishTimeLines(corrector, writer);
    if (lastUnit != Unit('\n')) {
        const Unit lineEnd = Unit('\n');
        writer.append(&lineEnd, 1);
    }
    // A file cut in the middle of a unit: its last bytes are no text, and are kept as they are.
    writer.appendRaw(readTo - carried, std::size_t(carried));
    writer.flush();
    if (writer.failed)
        return QStringLiteral("cannot write: ") + out.errorString();
    return QString();
}

} // namespace

QString copyCorrected(QIODevice &in, QIODevice &out, const CopyOptions &options)
{
    QByteArray head(4, '\0');
    const qint64 headSize = readFully(in, head.data(), head.size());
    if (headSize < 0)
        return QStringLiteral("cannot read: ") + in.errorString();
    head.truncate(int(headSize));
    const Encoding encoding = detectEncoding(head.constData(), headSize);
    switch (encoding.unitSize) {
    case 2:
        return copyUnits<char16_t>(in, out, encoding, head, options);
    case 4:
        return copyUnits<char32_t>(in, out, encoding, head, options);
    default:
        return copyUnits<unsigned char>(in, out, encoding, head, options);
    }
}
