#include "stream/stream_copy.h"

#include "rule/time_stamp_rule.h"
#include "stream/block_buffer.h"

#include <QByteArray>
#include <QScopeGuard>
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
    // No mark, but a first unit that is '<' in a wider encoding: XML 1.0 (appendix F) tells the
    // width and byte order so from its declaration, and a file that begins with an element
    // instead would be wrecked as bytes (every NUL unit split from its line end). The copy is
    // written so, with no mark added.
    if (starts("\x00\x00\x00\x3C", 4))
        return {4, true, 0};
    if (starts("\x3C\x00\x00\x00", 4))
        return {4, false, 0};
    if (starts("\x00\x3C\x00", 3) && size >= 4)
        return {2, true, 0};
    if (starts("\x3C\x00", 2) && size >= 4 && head[2] != 0 && head[3] == 0)
        return {2, false, 0};
    // A UTF-8 mark changes nothing in how the bytes are read, but it is no line of text either:
    // a file that holds nothing else gets no line end.
    if (starts("\xEF\xBB\xBF", 3))
        return {1, false, 3};
    return {};
}

// The input, read a block at a time. Where the input knows its size, it ends there: a read may
// bring less than was asked in the middle of a file (a FUSE driver with direct I/O, a network
// share), so falling short says nothing. A read that brings nothing ends any input.
struct Source {
    QIODevice &in;
    qint64 size; // -1 when the input cannot tell
    qint64 readSoFar = 0;
    bool atEnd = false;
    QString reason; // why a read failed

    // Reads at most `count` bytes to `into`: how many, or -1.
    qint64 read(char *into, qint64 count)
    {
        const qint64 n = in.read(into, count);
        if (n < 0) {
            reason = in.errorString();
            return -1;
        }
        readSoFar += n;
        atEnd = n == 0 || (size >= 0 && readSoFar >= size);
        return n;
    }
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

// Every line break, a line feed, a carriage return and line feed, or a carriage return alone (as
// an XML reader takes one that no line feed follows), becomes one '\n', in place; the writer then
// makes it the platform's line end. The rule has run on the text before, with its carriage
// returns in it, so that it reads a lone one as the line end it is.
struct LineEnds {
    bool afterCarriageReturn = false; // the text so far ends in one: a line feed next is its own
};

template <typename Unit> std::size_t unifyLineEnds(Unit *units, std::size_t count, LineEnds &state)
{
    Unit *const end = units + count;
    Unit *from = units;
    if (from != end) {
        if (state.afterCarriageReturn && *from == Unit('\n'))
            ++from;
        state.afterCarriageReturn = false;
    }
    Unit *out = units;
    for (;;) {
        Unit *const cr = const_cast<Unit *>(detail::findUnit<Unit>(from, end, '\r'));
        if (out != from)
            std::memmove(out, from, std::size_t(cr - from) * sizeof(Unit));
        out += cr - from;
        if (cr == end)
            return std::size_t(out - units);
        *out++ = Unit('\n');
        from = cr + 1;
        if (from == end) {
            state.afterCarriageReturn = true;
            return std::size_t(out - units);
        }
        if (*from == Unit('\n'))
            ++from;
    }
}

// What is carried in front of a block (block_buffer.h draws it): the undecided units of the
// widest text and a unit cut, with the writer's page before them.
constexpr std::size_t mostCarried = maxUndecidedUnits * sizeof(char32_t) + sizeof(char32_t) - 1;
static_assert(mostCarried + pageSize <= BlockBuffer::roomBefore,
              "the writer's page and what is carried fit in front of a block");

// Where the blocks of a copy come from: read here, into one buffer, one after another; or handed
// over by the run's reader, which reads the next while this one is corrected and written.
struct Blocks {
    Source &source;
    char *readTo;
    qint64 blockSize;
    ReadAhead *readAhead; // or none

    ReadBlock next()
    {
        if (readAhead)
            return readAhead->take();
        ReadBlock block;
        block.data = readTo;
        block.size = source.read(readTo, blockSize);
        block.failed = block.size < 0;
        block.reason = source.reason;
        block.atEnd = source.atEnd;
        return block;
    }
};

// The first block of the input, its byte-order mark included, is `first`.
template <typename Unit>
CopyResult copyUnits(Blocks &blocks, QIODevice &out, const Encoding &encoding, ReadBlock first,
                     const CopyOptions &options, TimeStampCount &count)
{
    const qint64 blockSize = blocks.blockSize;
    char *readTo = first.data;
    bool atEnd = first.atEnd;
    // Single bytes with the line ends they have go out from where they were read: the writer
    // holds only what is left of a page. The heap then has less to give back, and to take
    // again, for each copy.
    const bool inPlace = sizeof(Unit) == 1 && !options.crlfLineEnds;
    UnitWriter<Unit> writer{out, encoding.bigEndian, options,
                            inPlace ? pageSize : wholePages(blockSize)};
    writer.appendRaw(readTo, std::size_t(encoding.markSize));
    RuleState<Unit> rule;
    LineEnds lineEnds;
    Today ownToday;
    Today &today = options.today ? *options.today : ownToday;
    // Wide text is read into units of the machine's byte order, undecided ones first.
    const std::unique_ptr<Unit[]> units(
        sizeof(Unit) == 1
            ? nullptr
            : new Unit[maxUndecidedUnits + std::size_t(blockSize) / sizeof(Unit) + 1]);
    std::size_t undecided = 0; // units the rule left, carried in front of the next block
    qint64 partial = 0;        // bytes of a wide unit the block's end cut, carried likewise
    // What is carried goes in front of the next block, wherever that lies: kept aside first, as
    // the next read may land where it is now.
    char carried[mostCarried];
    std::size_t carriedSize = 0;
    char *start = readTo + encoding.markSize;
    qint64 total = first.size - encoding.markSize;
    qint64 bytesRead = first.size;
    for (;;) {
        Unit *text = units.get();
        std::size_t length = 0;
        if constexpr (sizeof(Unit) == 1) {
            text = reinterpret_cast<Unit *>(start);
            length = std::size_t(total);
        } else {
            const std::size_t fresh = std::size_t(total) / sizeof(Unit);
            readUnits(start, fresh, encoding.bigEndian, text + undecided);
            partial = total - qint64(fresh * sizeof(Unit));
            length = undecided + fresh;
        }
        Unit *const decided =
            correctTimeStamps(text, text + length, atEnd, currentToday(today), rule, count);
        const std::size_t lineEndsDone = unifyLineEnds(text, std::size_t(decided - text), lineEnds);
        // At the input's end, it goes out whole, in one last write.
        writer.append(text, lineEndsDone, inPlace, atEnd);
        undecided = std::size_t(text + length - decided);
        if constexpr (sizeof(Unit) == 1) {
            carriedSize = undecided;
            std::memcpy(carried, decided, carriedSize);
        } else {
            std::memmove(units.get(), decided, undecided * sizeof(Unit));
            carriedSize = std::size_t(partial);
            std::memcpy(carried, start + total - partial, carriedSize);
        }
        if (atEnd || writer.failed)
            break;
        if (options.stop && options.stop())
            return {CopyFailure::interrupted, QString(), 0};
        const ReadBlock block = blocks.next();
        if (block.failed)
            return {CopyFailure::cannotRead, block.reason, 0};
        readTo = block.data;
        atEnd = block.atEnd;
        bytesRead += block.size;
        start = readTo - carriedSize;
        std::memcpy(start, carried, carriedSize);
        total = qint64(carriedSize) + block.size;
    }
    if (writer.lastUnit != Unit('\n'))
        writer.appendLineEnd();
    // A file cut in the middle of a unit: its last bytes are no text, and are kept as they are.
    if constexpr (sizeof(Unit) != 1)
        writer.appendRaw(carried, carriedSize);
    writer.flush();
    if (writer.failed)
        return {CopyFailure::cannotWrite, out.errorString(), 0};
    return {CopyFailure::none, QString(), bytesRead};
}

} // namespace

CopyResult copyCorrected(QIODevice &in, QIODevice &out, const CopyOptions &options,
                         TimeStampCount *count)
{
    TimeStampCount ownCount;
    TimeStampCount &counted = count ? *count : ownCount;
    Source source{in, in.isSequential() ? -1 : in.size() - in.pos(), 0, false, QString()};
    const qint64 blockSize = blockSizeFor(source.size, options);
    if (options.stop && options.stop())
        return {CopyFailure::interrupted, QString(), 0};
    // The first block holds at least the four bytes that tell the encoding, unless the input is
    // shorter.
    constexpr qint64 headSize = 4;
    // A track larger than a block is read ahead by the run's reader, whose blocks are read
    // whole; a smaller one, as most of a card's are, is one read, with nothing to overlap.
    ReadAhead *const readAhead = options.readAhead && source.size > blockSize &&
                                         blockSize >= headSize &&
                                         options.readAhead->blockSize() == blockSize
                                     ? options.readAhead
                                     : nullptr;
    const BlockBuffer own(readAhead ? 0 : std::size_t(std::max(blockSize, headSize)));
    Blocks blocks{source, readAhead ? nullptr : own.block(), blockSize, readAhead};
    ReadBlock first;
    const auto stopReading = qScopeGuard([readAhead] {
        if (readAhead)
            readAhead->stop();
    });
    if (readAhead) {
        readAhead->start(in, source.size);
        first = readAhead->take();
    } else {
        first.data = blocks.readTo;
        while (!first.atEnd && first.size < headSize) {
            const qint64 n = source.read(first.data + first.size,
                                         std::max(blockSize - first.size, headSize - first.size));
            first.failed = n < 0;
            first.reason = source.reason;
            if (first.failed)
                break;
            first.size += n;
            first.atEnd = source.atEnd;
        }
    }
    if (first.failed)
        return {CopyFailure::cannotRead, first.reason, 0};
    const Encoding encoding = detectEncoding(first.data, first.size);
    switch (encoding.unitSize) {
    case 2:
        return copyUnits<char16_t>(blocks, out, encoding, first, options, counted);
    case 4:
        return copyUnits<char32_t>(blocks, out, encoding, first, options, counted);
    default:
        return copyUnits<unsigned char>(blocks, out, encoding, first, options, counted);
    }
}
