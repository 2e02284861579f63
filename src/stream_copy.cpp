#include "stream_copy.h"

#include "interruption.h"
#include "time_line_corrector.h"

#include <QByteArray>
#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
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

// What one read brought: how many bytes, and whether the input has nothing after them. A file
// ends where a read brings less than was asked for; any other input where a read brings none.
struct Read {
    qint64 size;
    bool atEnd;
};

Read readBlock(QIODevice &in, char *into, qint64 size)
{
    const qint64 n = in.read(into, size);
    return {n, n == 0 || (n > 0 && n < size && !in.isSequential())};
}

// The kernel copies a block into or out of a buffer that starts on a page about twice as fast
// as into one that does not, and std::vector's storage never does.
constexpr std::size_t pageSize = 4096;
// Over-allocated and aligned by hand: a heap asked for page alignment itself may map every
// such buffer afresh.
struct PageBuffer {
    std::unique_ptr<char[]> storage;
    char *start;
    explicit PageBuffer(std::size_t size)
        : storage(new char[size + pageSize - 1]),
          start(reinterpret_cast<char *>(
              (reinterpret_cast<std::uintptr_t>(storage.get()) + pageSize - 1) & ~(pageSize - 1)))
    {
    }
    char *get() const { return start; }
};

// A file smaller than a block is read with a buffer no bigger than itself: over a card's many
// small tracks, such buffers come back from the heap the last file returned, where full blocks
// would be mapped afresh, faulted in page by page and unmapped again for every file.
std::size_t wholePages(qint64 size)
{
    return std::size_t(std::max<qint64>((size + qint64(pageSize) - 1) / qint64(pageSize), 1)) *
           pageSize;
}

// `left`: how much the input holds, or -1 when it cannot tell.
qint64 blockSizeFor(qint64 left, const CopyOptions &options)
{
    const qint64 blockSize = std::max<qint64>(options.blockSize, 1);
    return left < 0 ? blockSize : std::min(blockSize, qint64(wholePages(left)));
}

// Qt's byte-order helpers take plain unsigned integers, not character types.
template <typename Unit> using RawUnit = std::conditional_t<sizeof(Unit) == 2, quint16, quint32>;

// Units in and out of the file's byte order, a run of them at a time: Qt's own conversions,
// a plain copy where the byte order is the machine's.
template <typename Unit>
void readUnits(const char *from, std::size_t count, bool bigEndian, Unit *to)
{
    if (bigEndian)
        qFromBigEndian<RawUnit<Unit>>(from, qsizetype(count), to);
    else
        qFromLittleEndian<RawUnit<Unit>>(from, qsizetype(count), to);
}

template <typename Unit>
void writeUnits(const Unit *from, std::size_t count, bool bigEndian, char *to)
{
    if constexpr (sizeof(Unit) == 1)
        std::memcpy(to, from, count);
    else if (bigEndian)
        qToBigEndian<RawUnit<Unit>>(from, qsizetype(count), to);
    else
        qToLittleEndian<RawUnit<Unit>>(from, qsizetype(count), to);
}

// Buffers the output units in the file's byte order and writes them out. Every write but the
// last starts at a page of the copy and is whole pages long: the kernel takes a write that
// does not about half again as long, whatever a byte-order mark or a line end put before it.
template <typename Unit> struct UnitWriter {
    QIODevice &out;
    bool bigEndian;
    const CopyOptions &options;
    std::size_t size;                   // written out once this much is buffered: whole pages
    PageBuffer buffer{size + pageSize}; // room for size and less than a page more
    std::size_t used = 0;
    qint64 written = 0;
    qint64 handedOver = 0; // what writtenThrough has been told of
    bool failed = false;
    Unit lastUnit = Unit('\n'); // so that an empty text gets no line end

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

    // Writes the whole pages buffered and keeps the rest, less than a page, at the start.
    void writePages()
    {
        const std::size_t whole = used / pageSize * pageSize;
        if (whole == 0)
            return;
        writeOut(buffer.get(), whole);
        used -= whole;
        std::memmove(buffer.get(), buffer.get() + whole, used);
    }

    // The last write: whatever is left.
    void flush()
    {
        if (used > 0)
            writeOut(buffer.get(), used);
        used = 0;
    }

    void appendRaw(const char *bytes, std::size_t count)
    {
        while (count > 0) {
            const std::size_t n = std::min(count, size + pageSize - used);
            std::memcpy(buffer.get() + used, bytes, n);
            used += n;
            bytes += n;
            count -= n;
            if (used >= size)
                writePages();
        }
    }

    // A block of bytes goes out from where it lies, in one write, with what is buffered put
    // in front of it: the page before `bytes` is free to be written over. The part of a page
    // left at its end is kept back, unless this may be the end of the copy.
    void appendInPlace(char *bytes, std::size_t count, bool mayBeLast)
    {
        if (used >= pageSize)
            writePages();
        char *const start = bytes - used;
        std::memcpy(start, buffer.get(), used);
        const std::size_t total = used + count;
        const std::size_t whole = mayBeLast ? total : total / pageSize * pageSize;
        used = 0;
        if (whole > 0)
            writeOut(start, whole);
        appendRaw(start + whole, total - whole);
    }

    // With `inPlace`, the page before `units` is free to be written over.
    void append(Unit *units, std::size_t count, bool inPlace = false, bool mayBeLast = false)
    {
        if (count == 0)
            return;
        lastUnit = units[count - 1];
        if constexpr (sizeof(Unit) == 1) {
            if (!options.crlfLineEnds) {
                if (inPlace)
                    appendInPlace(reinterpret_cast<char *>(units), count, mayBeLast);
                else
                    appendRaw(reinterpret_cast<const char *>(units), count);
                return;
            }
        }
        // A line feed becomes two units where a line end is a carriage return and line feed.
        const std::size_t unitsAtMost = options.crlfLineEnds ? 2 : 1;
        for (const Unit *from = units, *const end = units + count; from != end;) {
            const std::size_t room = (size + pageSize - used) / (unitsAtMost * sizeof(Unit));
            const Unit *const to = from + std::min(room, std::size_t(end - from));
            if (!options.crlfLineEnds) {
                writeUnits(from, std::size_t(to - from), bigEndian, buffer.get() + used);
                used += std::size_t(to - from) * sizeof(Unit);
            } else {
                for (const Unit *line = from; line != to;) {
                    const Unit *const lineFeed = detail::findUnit(line, to, '\n');
                    writeUnits(line, std::size_t(lineFeed - line), bigEndian, buffer.get() + used);
                    used += std::size_t(lineFeed - line) * sizeof(Unit);
                    if (lineFeed == to)
                        break;
                    const Unit lineEnd[] = {Unit('\r'), Unit('\n')};
                    writeUnits(lineEnd, 2, bigEndian, buffer.get() + used);
                    used += 2 * sizeof(Unit);
                    line = lineFeed + 1;
                }
            }
            from = to;
            if (used >= size)
                writePages();
        }
    }

    void appendLineEnd()
    {
        Unit lineFeed = Unit('\n');
        append(&lineFeed, 1);
    }
};

// Text mode drops every carriage return before the rule sees the text, but an XML reader takes
// one that no line feed follows for a line break: the copy gets a line end where each stood.
// Places are counted in the text the rule sees, in which a correction changes no length.
struct LoneCarriageReturns {
    std::vector<qint64> at; // ascending; those before `next` have had their line end
    std::size_t next = 0;
    bool pending = false; // the text so far ends in a carriage return: is a line feed next?
};

// Drops the carriage returns of `count` units that begin at `offset` of the rule's text, noting
// where the lone ones stood. Returns how many units are left.
template <typename Unit>
std::size_t dropCarriageReturns(Unit *units, std::size_t count, qint64 offset,
                                LoneCarriageReturns &returns)
{
    if (returns.pending && count > 0) {
        if (units[0] != Unit('\n'))
            returns.at.push_back(offset);
        returns.pending = false;
    }
    Unit *const end = units + count;
    Unit *out = units;
    for (Unit *from = units;;) {
        Unit *const cr = const_cast<Unit *>(detail::findUnit<Unit>(from, end, '\r'));
        if (out != from)
            std::memmove(out, from, std::size_t(cr - from) * sizeof(Unit));
        out += cr - from;
        if (cr == end)
            return std::size_t(out - units);
        if (cr + 1 == end)
            returns.pending = true;
        else if (cr[1] != Unit('\n'))
            returns.at.push_back(offset + (out - units));
        from = cr + 1;
    }
}

// Hands `count` units of the rule's text that begin at `offset` to the writer, with a line end
// where each lone carriage return stood among them.
template <typename Unit>
void writeText(UnitWriter<Unit> &writer, LoneCarriageReturns &returns, Unit *text,
               std::size_t count, qint64 offset, bool inPlace, bool mayBeLast)
{
    std::size_t done = 0;
    for (; returns.next < returns.at.size() && returns.at[returns.next] < offset + qint64(count);
         ++returns.next) {
        const std::size_t place = std::size_t(returns.at[returns.next] - offset);
        writer.append(text + done, place - done, inPlace && done == 0);
        writer.appendLineEnd();
        done = place;
    }
    writer.append(text + done, count - done, inPlace && done == 0, mayBeLast);
    returns.at.erase(returns.at.begin(), returns.at.begin() + std::ptrdiff_t(returns.next));
    returns.next = 0;
}

// The first block of the input has been read to `readTo`, its byte-order mark included.
template <typename Unit>
QString copyUnits(QIODevice &in, QIODevice &out, const Encoding &encoding, char *const readTo,
                  const qint64 blockSize, Read read, const CopyOptions &options,
                  TimeStampCount &count)
{
    const qint64 inSize = in.isSequential() ? -1 : in.size();
    // Single bytes with the line ends they have go out from where they were read: the writer
    // holds only what is left of a page, or of a block cut by lone carriage returns. The heap
    // then has less to give back, and to take again, for each copy.
    const bool inPlace = sizeof(Unit) == 1 && !options.crlfLineEnds;
    UnitWriter<Unit> writer{out, encoding.bigEndian, options,
                            inPlace ? pageSize : wholePages(blockSize)};
    writer.appendRaw(readTo, std::size_t(encoding.markSize));
    LastDate<Unit> lastDate;
    LocalToday ownToday;
    LocalToday &today = options.today ? *options.today : ownToday;
    LoneCarriageReturns returns;
    const std::unique_ptr<Unit[]> units(
        sizeof(Unit) == 1
            ? nullptr
            : new Unit[maxUndecidedUnits + std::size_t(blockSize) / sizeof(Unit) + 1]);
    qint64 carried = 0;        // bytes just in front of readTo
    std::size_t undecided = 0; // units the rule left, at the start of the text, CRs gone
    qint64 offset = 0;         // where in the rule's text the text of this block begins
    char *start = readTo + encoding.markSize;
    qint64 total = read.size - encoding.markSize;
    for (;;) {
        Unit *text = units.get();
        std::size_t fresh = 0; // units of this block after the undecided ones
        if constexpr (sizeof(Unit) == 1) {
            text = reinterpret_cast<Unit *>(start);
            fresh = std::size_t(total) - undecided;
        } else {
            fresh = std::size_t(total) / sizeof(Unit);
            readUnits(start, fresh, encoding.bigEndian, text + undecided);
            carried = total - qint64(fresh * sizeof(Unit));
        }
        const std::size_t length =
            undecided +
            dropCarriageReturns(text + undecided, fresh, offset + qint64(undecided), returns);
        if (read.atEnd && returns.pending) {
            returns.at.push_back(offset + qint64(length));
            returns.pending = false;
        }
        Unit *const decided = correctTimeLines(text, text + length, read.atEnd,
                                               currentLocalDate(today), lastDate, count);
        // Where the input's size says this is its end, it goes out whole, in one last write.
        const bool mayBeLast = read.atEnd || (inSize >= 0 && in.pos() >= inSize);
        writeText(writer, returns, text, std::size_t(decided - text), offset, inPlace, mayBeLast);
        offset += decided - text;
        undecided = std::size_t(text + length - decided);
        if constexpr (sizeof(Unit) == 1) {
            std::memmove(readTo - undecided, decided, undecided);
            carried = qint64(undecided);
        } else {
            std::memmove(units.get(), decided, undecided * sizeof(Unit));
            std::memmove(readTo - carried, start + total - carried, std::size_t(carried));
        }
        if (read.atEnd || writer.failed)
            break;
        if (interruption())
            return QStringLiteral("interrupted");
        read = readBlock(in, readTo, blockSize);
        if (read.size < 0)
            return QStringLiteral("cannot read: ") + in.errorString();
        start = readTo - carried;
        total = carried + read.size;
    }
    // Lone carriage returns at the very end, then a line end for a last line without one.
    for (; returns.next < returns.at.size(); ++returns.next)
        writer.appendLineEnd();
    if (writer.lastUnit != Unit('\n'))
        writer.appendLineEnd();
    // A file cut in the middle of a unit: its last bytes are no text, and are kept as they are.
    writer.appendRaw(readTo - carried, std::size_t(carried));
    writer.flush();
    if (writer.failed)
        return QStringLiteral("cannot write: ") + out.errorString();
    return QString();
}

} // namespace

QString copyCorrected(QIODevice &in, QIODevice &out, const CopyOptions &options,
                      TimeStampCount *count)
{
    TimeStampCount ownCount;
    // A block one byte larger than a file reads all of it at once, and says so by falling short.
    const qint64 blockSize =
        blockSizeFor(in.isSequential() ? -1 : in.size() - in.pos() + 1, options);
    // Each block is read to the start of a page. Just in front of it go the few bytes carried
    // over from the block before (a unit's, or the text the rule could not decide yet), and in
    // front of those a page the writer may fill. The first block holds at least the four bytes
    // that tell the encoding, unless the input is shorter.
    constexpr qint64 headSize = 4;
    const PageBuffer raw(2 * pageSize + std::size_t(std::max(blockSize, headSize)));
    char *const readTo = raw.get() + 2 * pageSize;
    if (interruption())
        return QStringLiteral("interrupted");
    Read read{0, false};
    while (!read.atEnd && read.size < headSize) {
        const Read more = readBlock(in, readTo + read.size,
                                    std::max(blockSize - read.size, headSize - read.size));
        if (more.size < 0)
            return QStringLiteral("cannot read: ") + in.errorString();
        read = {read.size + more.size, more.atEnd};
    }
    const Encoding encoding = detectEncoding(readTo, read.size);
    TimeStampCount &counted = count ? *count : ownCount;
    switch (encoding.unitSize) {
    case 2:
        return copyUnits<char16_t>(in, out, encoding, readTo, blockSize, read, options, counted);
    case 4:
        return copyUnits<char32_t>(in, out, encoding, readTo, blockSize, read, options, counted);
    default:
        return copyUnits<unsigned char>(in, out, encoding, readTo, blockSize, read, options,
                                        counted);
    }
}
