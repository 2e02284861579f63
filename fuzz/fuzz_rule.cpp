// The copy in memory, as fast as libFuzzer can hand it inputs: the stream wing over in-memory
// devices, the same code that copies a file, in blocks of a size the input's first byte picks
// (1 to 256 bytes, and at least a sixteenth of the input, so that names, quotes and dates fall
// across every block's end). The rest of
// the input is single-byte text, and the copy must be what a plain reading of the rule makes of
// it, with as many values read and moved.
#include "rule_oracle.h"
#include "stream/stream_copy.h"

#include <QBuffer>
#include <QDateTime>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray file(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    // Text the copy may read in wider units is left to the other target; the rule is the same
    // on them.
    if (file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF") ||
        (file.size() >= 2 && (file[0] == 0 || file[1] == 0)))
        return 0;
    const int mark = file.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    // One date for the copy and the reading: a midnight in between would be no fault of the copy.
    const QDate today = QDateTime::currentDateTimeUtc().addSecs(14 * 3600).date();
    Today pinned{today, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max()};
    QBuffer in, out;
    in.setData(file);
    in.open(QIODevice::ReadOnly | QIODevice::Unbuffered); // as the tool opens a track
    out.open(QIODevice::WriteOnly);
    CopyOptions options;
    // At most sixteen blocks an input: a name or a date longer than a block still fits in a
    // short input, and a long one is not read a unit at a time.
    options.blockSize = std::max<qint64>(1 + data[0], (file.size() + 15) / 16);
    options.crlfLineEnds = false;
    options.today = &pinned;
    TimeStampCount count;
    const CopyResult result = copyCorrected(in, out, options, &count);
    RuleReading want = byTheRule(file.mid(mark), today);
    want.text.prepend(file.left(mark));
    const char *failure = result.failure != CopyFailure::none ? "the copy failed"
                          : out.data() != want.text           ? "the copy differs from the rule"
                          : count.seen != want.seen           ? "values read differ"
                          : count.moved != want.moved         ? "values moved differ"
                                                              : nullptr;
    if (failure) {
        std::fprintf(stderr,
                     "fuzz_rule: %s, blocks of %d bytes: read %lld of %lld, moved %lld of %lld\n",
                     failure, int(options.blockSize), static_cast<long long>(count.seen),
                     static_cast<long long>(want.seen), static_cast<long long>(count.moved),
                     static_cast<long long>(want.moved));
        std::abort();
    }
    return 0;
}
