// Any file, read in blocks cut where the input says: the copy is the same as when the file is
// read whole, and for single-byte text it is the rule applied to each line, so no byte but a
// date's and a carriage return is changed, lost or added.
#include "line_reference.h"
#include "stream_copy.h"
#include "track_correction.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

// Hands out its data in reads of the lengths it was given, in turn.
class ChoppyDevice : public QIODevice
{
  public:
    ChoppyDevice(QByteArray data, QByteArray cuts) : data(std::move(data)), cuts(std::move(cuts)) {}

  protected:
    qint64 readData(char *into, qint64 size) override
    {
        qint64 length = size;
        if (!cuts.isEmpty())
            length = qMin<qint64>(size, 1 + uchar(cuts[int(next++ % uint(cuts.size()))]) % 97);
        const QByteArray part = data.mid(int(pos()), int(length));
        std::memcpy(into, part.constData(), std::size_t(part.size()));
        return part.size();
    }
    qint64 writeData(const char *, qint64) override { return -1; }

  private:
    QByteArray data;
    QByteArray cuts;
    uint next = 0;
};

QByteArray copyOf(QIODevice &in, qint64 blockSize)
{
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    in.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    CopyOptions options;
    options.blockSize = blockSize;
    if (!copyCorrected(in, out, options).isEmpty())
        std::abort(); // memory devices do not fail
    return out.data();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first byte says how many of the next bytes are cut lengths; the rest is the file.
    const std::size_t cutCount = size > 0 ? data[0] % 16 : 0;
    if (size < 1 + cutCount)
        return 0;
    const auto *bytes = reinterpret_cast<const char *>(data);
    const QByteArray cuts(bytes + 1, int(cutCount));
    const QByteArray file(bytes + 1 + cutCount, int(size - 1 - cutCount));

    QBuffer whole;
    whole.setData(file);
    const QByteArray expected = copyOf(whole, 1 << 16);
    ChoppyDevice choppy(file, cuts);
    if (copyOf(choppy, 1 + qint64(cutCount) * 5) != expected)
        std::abort();
    const bool wide = file.startsWith("\xFF\xFE") || file.startsWith("\xFE\xFF") ||
                      file.startsWith(QByteArray("\x00\x00\xFE\xFF", 4));
    if (!wide) {
        const bool utf8Mark = file.startsWith("\xEF\xBB\xBF");
        const QByteArray mark = utf8Mark ? file.left(3) : QByteArray();
        if (expected != mark + linesThroughRule(file.mid(mark.size())))
            std::abort();
    }
    return 0;
}
