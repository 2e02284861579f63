// The streamed copy of whole files: encodings, line ends, and text cut into blocks anywhere.
#include "line_reference.h"
#include "stream_copy.h"
#include "track_correction.h"

#include <QBuffer>
#include <QtTest>

#include <cstring>
#include <vector>

class TestStream : public QObject
{
    Q_OBJECT

  private slots:
    void copy_data();
    void copy();
    void blockSplits_data();
    void blockSplits();
    void deviceFailures_data();
    void deviceFailures();
};

namespace
{

QString dateDaysAgo(qint64 days)
{
    return QDate::currentDate().addDays(-days).toString(QStringLiteral("yyyy-MM-dd"));
}

// A rolled-over date and the date it becomes.
const QString oldDate = dateDaysAgo(7168 + 400);
const QString newDate = dateDaysAgo(400);

QByteArray withDates(const char *pattern, const QString &date)
{
    return QString::fromUtf8(pattern).replace(QStringLiteral("DATE"), date).toUtf8();
}

QByteArray utf16(const QString &text, bool bigEndian)
{
    QByteArray out;
    for (const QChar c : QString(QChar(0xFEFF)) + text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        out += bigEndian ? QByteArray{&high, 1} + low : QByteArray{&low, 1} + high;
    }
    return out;
}

QByteArray utf32(const QString &text, bool bigEndian)
{
    QByteArray out;
    for (const uint u : (QString(QChar(0xFEFF)) + text).toUcs4()) {
        for (int i = 0; i < 4; ++i)
            out += char(u >> (bigEndian ? 24 - 8 * i : 8 * i));
    }
    return out;
}

CopyOptions inBlocksOf(qint64 blockSize)
{
    CopyOptions options;
    options.blockSize = blockSize;
    return options;
}

QByteArray copied(const QByteArray &input, const CopyOptions &options = {})
{
    QBuffer in, out;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    out.open(QIODevice::WriteOnly);
    const QString failure = copyCorrected(in, out, options);
    if (!failure.isEmpty())
        qWarning() << failure;
    return failure.isEmpty() ? out.data() : QByteArray("<failed>");
}

} // namespace

void TestStream::copy_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("crlf");

    const char *track = "<trkpt>\n  <time>DATET01:02:03Z</time>\n</trkpt>\n";
    QTest::newRow("line feeds") << withDates(track, oldDate) << withDates(track, newDate) << false;
    QTest::newRow("carriage return and line feed")
        << withDates("<trkpt>\r\n  <time>DATET01:02:03Z</time>\r\n", oldDate)
        << withDates("<trkpt>\n  <time>DATET01:02:03Z</time>\n", newDate) << false;
    QTest::newRow("carriage returns alone end no line")
        << withDates("a\r<time>DATET0\rb\r", oldDate) << withDates("a<time>DATET0b\n", newDate)
        << false;
    QTest::newRow("carriage return inside the date")
        << withDates("<time>DATET0\n", oldDate).replace(8, 0, "\r")
        << withDates("<time>DATET0\n", newDate) << false;
    QTest::newRow("no final line end") << withDates("x\n<time>DATETz", oldDate)
                                       << withDates("x\n<time>DATETz\n", newDate) << false;
    QTest::newRow("empty") << QByteArray() << QByteArray() << false;
    QTest::newRow("only carriage returns") << QByteArray("\r\r") << QByteArray() << false;
    QTest::newRow("empty lines") << QByteArray("\r\n\n\r\n") << QByteArray("\n\n\n") << false;
    QTest::newRow("ISO-8859-1 and stray bytes")
        << withDates("Caf\xe9 \xc3\x28\x80\xff <time>DATET\xe9\n", oldDate)
        << withDates("Caf\xe9 \xc3\x28\x80\xff <time>DATET\xe9\n", newDate) << false;
    QTest::newRow("UTF-8 mark kept") << withDates("\xEF\xBB\xBF<time>DATET0", oldDate)
                                     << withDates("\xEF\xBB\xBF<time>DATET0\n", newDate) << false;
    QTest::newRow("UTF-8 mark alone")
        << QByteArray("\xEF\xBB\xBF") << QByteArray("\xEF\xBB\xBF") << false;

    // U+010D and U+0D0A hold carriage return and line feed bytes inside UTF-16 units.
    const QString wide = QString::fromUtf8("\xc4\x8d\xe0\xb4\x8a <time>DATET\xf0\x9f\x98\x80\r\n"
                                           "\xe0\xb4\x8d\n");
    const QString wideOut = QString::fromUtf8("\xc4\x8d\xe0\xb4\x8a <time>DATET\xf0\x9f\x98\x80\n"
                                              "\xe0\xb4\x8d\n");
    for (const bool big : {false, true}) {
        const QByteArray order = big ? "BE" : "LE";
        QTest::newRow("UTF-16" + order)
            << utf16(QString(wide).replace("DATE", oldDate), big)
            << utf16(QString(wideOut).replace("DATE", newDate), big) << false;
        QTest::newRow("UTF-32" + order)
            << utf32(QString(wide).replace("DATE", oldDate), big)
            << utf32(QString(wideOut).replace("DATE", newDate), big) << false;
        QTest::newRow("UTF-16" + order + " mark alone")
            << utf16(QString(), big) << utf16(QString(), big) << false;
        QTest::newRow("UTF-16" + order + " carriage returns")
            << utf16(QStringLiteral("a\rb\r"), big) << utf16(QStringLiteral("ab\n"), big) << false;
        QTest::newRow("UTF-16" + order + " Windows line ends")
            << utf16(QStringLiteral("a\nb"), big) << utf16(QStringLiteral("a\r\nb\r\n"), big)
            << true;
    }
    QTest::newRow("UTF-16LE cut inside a unit")
        << utf16(QStringLiteral("a\n"), false) + 'x' << utf16(QStringLiteral("a\n"), false) + 'x'
        << false;
    QTest::newRow("UTF-32LE with an unpaired surrogate")
        << utf32(QStringLiteral("a"), false) + QByteArray("\x00\xD8\x00\x00\n\x00\x00\x00", 8)
        << utf32(QStringLiteral("a"), false) + QByteArray("\x00\xD8\x00\x00\n\x00\x00\x00", 8)
        << false;
    QTest::newRow("Windows line ends") << withDates("a\r\n<time>DATETz\rb", oldDate)
                                       << withDates("a\r\n<time>DATETzb\r\n", newDate) << true;
}

void TestStream::copy()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(bool, crlf);
    CopyOptions options;
    options.crlfLineEnds = crlf;
    QCOMPARE(copied(input, options), expected);
}

void TestStream::blockSplits_data()
{
    QTest::addColumn<QByteArray>("input");

    const QByteArray point = withDates("<trkpt lat=\"1\" lon=\"2\"><ele>3</ele>"
                                       "<time>DATET04:05:06Z</time></trkpt>",
                                       oldDate);
    QTest::newRow("pretty-printed") << withDates("<trkseg>\r\n <trkpt>\r\n  <time>DATET01:02:03Z"
                                                 "</time>\r\n </trkpt>\r\n</trkseg>",
                                                 oldDate);
    QTest::newRow("one long line") << point.repeated(300);
    QTest::newRow("long lines") << (point.repeated(40) + "\n").repeated(5);
    QTest::newRow("a long text after the tag")
        << withDates("<time>", oldDate) + QByteArray(5000, 'x') + withDates("DATET\n", oldDate);
    QTest::newRow("partial tags") << withDates("<ti<tim<time<<time>DATET\n<tim\ne><time>DATET",
                                               oldDate);
    QTest::newRow("cut short") << withDates("<time>DATE\n<time>DATE", oldDate);
    QTest::newRow("line ends in the date")
        << withDates("<time>2001-\n02-03T\n<time>DATE\rT", oldDate);
    QTest::newRow("NUL bytes") << withDates("\x01<time>DATET", oldDate).replace('\x01', '\0') +
                                      QByteArray("\0\x03\0\xfe\xff\0<\0\n\0", 10);
    QTest::newRow("eleven characters") << withDates("<time>DATEx\n<time>xDATET\n", oldDate);
    QTest::newRow("UTF-16LE") << utf16(QString::fromUtf8(point.repeated(9) + "\r\n\xc4\x8d\n"),
                                       false);
    QTest::newRow("UTF-32BE") << utf32(QString::fromUtf8(point.repeated(9) + "\r\n\xc4\x8d\n"),
                                       true);
}

// However the input is cut into blocks, the copy is the same as the rule applied to whole
// lines; the first lines are shifted so that tags and dates fall across every cut.
void TestStream::blockSplits()
{
    QFETCH(QByteArray, input);
    const QByteArray whole = copied(input, inBlocksOf(1 << 24));
    const bool wide = QByteArray(QTest::currentDataTag()).startsWith("UTF");
    if (!wide)
        QCOMPARE(whole, linesThroughRule(input));
    for (const qint64 blockSize : {1, 2, 3, 5, 7, 13, 64, 4096}) {
        for (int shift = 0; shift < 7; ++shift) {
            // Only single-byte text can be shifted by a byte without changing its meaning.
            if (shift > 0 && wide)
                break;
            const QByteArray prefix(shift, ' ');
            QVERIFY2(copied(prefix + input, inBlocksOf(blockSize)) == prefix + whole,
                     qPrintable(QStringLiteral("block %1, shift %2").arg(blockSize).arg(shift)));
        }
    }
}

namespace
{

// A device that fails after a given number of bytes, as a disk read or a full disk would.
class FailingDevice : public QIODevice
{
  public:
    FailingDevice(QByteArray data, qint64 failAt) : data(std::move(data)), failAt(failAt) {}

  protected:
    qint64 readData(char *into, qint64 size) override
    {
        if (pos() >= failAt)
            return -1;
        const QByteArray part = data.mid(int(pos()), int(qMin(size, failAt - pos())));
        std::memcpy(into, part.constData(), std::size_t(part.size()));
        return part.size();
    }
    qint64 writeData(const char *, qint64 size) override
    {
        written += size;
        return written > failAt ? -1 : size;
    }

  private:
    QByteArray data;
    qint64 failAt;
    qint64 written = 0;
};

} // namespace

void TestStream::deviceFailures_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addColumn<qint64>("failAt");
    QTest::addColumn<QString>("reason");

    QTest::newRow("read fails at once") << true << qint64(0) << "cannot read";
    QTest::newRow("read fails in the middle") << true << qint64(70000) << "cannot read";
    QTest::newRow("write fails at once") << false << qint64(0) << "cannot write";
    QTest::newRow("write fails in the middle") << false << qint64(70000) << "cannot write";
}

void TestStream::deviceFailures()
{
    QFETCH(bool, reading);
    QFETCH(qint64, failAt);
    QFETCH(QString, reason);
    const QByteArray text = withDates("<time>DATET0</time>\n", oldDate).repeated(10000);
    QBuffer buffer;
    buffer.setData(text);
    FailingDevice failing(text, failAt);
    failing.open(reading ? QIODevice::ReadOnly : QIODevice::WriteOnly);
    buffer.open(reading ? QIODevice::WriteOnly : QIODevice::ReadOnly);
    CopyOptions options;
    options.blockSize = 4096;
    const QString failure =
        reading ? copyCorrected(failing, buffer, options) : copyCorrected(buffer, failing, options);
    QVERIFY2(failure.startsWith(reason), qPrintable(failure));
}

QTEST_APPLESS_MAIN(TestStream)
#include "tst_stream.moc"
