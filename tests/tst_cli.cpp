// The built tool on real files and folder trees, from two case files: copy.test says what the
// copy of one file holds, cli.test what a walk visits, writes and reports.
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

class TestCli : public QObject
{
    Q_OBJECT

  private slots:
    void copy_data() { addCases("copy.test", {"input", "expected"}); }
    void copy();
    void run_data() { addCases("cli.test", {"name", "tree", "args", "copies", "reports"}); }
    void run();
    void corpus_data();
    void corpus();

  private:
    static void addCases(const char *file, std::initializer_list<const char *> columns);
};

namespace
{

#ifdef Q_OS_WIN
const char *const lineEnd = "\r\n", *const otherSystem = "unix";
#else
const char *const lineEnd = "\n", *const otherSystem = "windows";
#endif

// \n \r \s (a space) \\ \xHH (one byte), and {N} for the date N days before today, so that the
// rule's boundaries move with the clock.
QByteArray unescape(const QString &field)
{
    const QByteArray text = field.toUtf8();
    QByteArray out;
    for (int i = 0; i < text.size(); ++i) {
        if (text[i] == '{') {
            const int close = text.indexOf('}', i);
            const QDate date =
                QDate::currentDate().addDays(-text.mid(i + 1, close - i - 1).toInt());
            out += date.toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
            i = close;
        } else if (text[i] == '\\' && text[i + 1] == 'x') {
            out += char(text.mid(i + 2, 2).toInt(nullptr, 16));
            i += 3;
        } else if (text[i] == '\\') {
            const char e = text[++i];
            out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 's' ? ' ' : e;
        } else {
            out += text[i];
        }
    }
    return out;
}

QStringList listOf(const QString &field)
{
    QStringList items;
    for (const QString &item : field.split(QLatin1Char(' ')))
        items << QString::fromUtf8(unescape(item));
    items.removeAll(QString());
    return items;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The text in UTF-16 or UTF-32 units after a byte-order mark, in the byte order named.
QByteArray encoded(const QByteArray &text, const QString &encoding)
{
    const QString wide = QChar(0xFEFF) + QString::fromUtf8(text);
    const int width = encoding.startsWith(QLatin1String("utf16")) ? 2 : 4;
    QByteArray out;
    for (const uint unit :
         width == 2 ? QVector<uint>(wide.utf16(), wide.utf16() + wide.size()) : wide.toUcs4()) {
        for (int i = 0; i < width; ++i)
            out += char(unit >> 8 * (encoding.endsWith(QLatin1String("be")) ? width - 1 - i : i));
    }
    return encoding.isEmpty() ? text : out;
}

// Runs the tool in `dir`: its exit status (-1 when it wrote to standard output, 128 and the
// signal when one ended it) and what it reported. A `signal` is sent once the tool is
// writing, in the middle of its first copy.
QPair<int, QString> runTool(const QDir &dir, QStringList command, int signal = 0)
{
    QProcess tool;
    tool.setWorkingDirectory(dir.path());
    tool.start(command.takeFirst(), command);
#ifdef Q_OS_UNIX
    const QString io = QStringLiteral("/proc/%1/io").arg(tool.processId());
    for (int i = 0; signal && i < 100000 &&
                    !QString::fromLatin1(readFile(io)).contains(QRegularExpression("wchar: [1-9]"));
         ++i)
        ::usleep(100);
    if (signal)
        ::kill(pid_t(tool.processId()), signal);
#else
    Q_UNUSED(signal); // no case sends one where there are no signals to send
#endif
    const bool ended = tool.waitForFinished(60000), silent = tool.readAllStandardOutput().isEmpty();
    const int status = tool.exitCode() + (tool.exitStatus() == QProcess::CrashExit ? 128 : 0);
    return {ended && silent ? status : -1, QString::fromUtf8(tool.readAllStandardError())};
}

// One date that moves to today, one that would move to tomorrow, one text that is no date.
const QString track =
    QStringLiteral("<gpx>\\n<time>%1T1</time>\\n<time>{7167}T2</time>\\n<time>x</time>");
const QByteArray original = unescape(track.arg("{7168}")).replace("\n", "\r\n");
const QByteArray corrected = unescape(track.arg("{0}") + "\\n").replace("\n", lineEnd);
const QByteArray earlierCopy("an earlier copy\n");

// Makes one entry of a tree as cli.test writes them.
bool makeEntry(const QDir &root, const QString &entry)
{
    const QRegularExpressionMatch m =
        QRegularExpression(
            QStringLiteral("(?s)^(.+?)(?:(->|=>|\\*)(.+?)|(~)|(\\(pipe\\)))?(%\\d+)?$"))
            .match(entry);
    const QString name = m.captured(1), kind = m.captured(2) + m.captured(4) + m.captured(5);
    const QString path = root.filePath(name), mode = m.captured(6).mid(1);
    bool ok = root.mkpath(QFileInfo(path).path());
    if (kind.isEmpty() ? !name.endsWith(QLatin1Char('/')) : kind == "~" || kind == "*")
        ok = ok && writeFile(path, kind == "~" ? earlierCopy
                                               : original.repeated(qMax(1, m.captured(3).toInt())));
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    const QByteArray to =
        QFile::encodeName(kind == "=>" ? root.filePath(m.captured(3)) : m.captured(3));
    if (kind == "->" || kind == "=>" || kind == "(pipe)")
        ok = ok && (kind == "->"   ? ::symlink(to, native)
                    : kind == "=>" ? ::link(to, native)
                                   : ::mkfifo(native, 0644)) == 0;
    return ok && (mode.isEmpty() || ::chmod(native, mode_t(mode.toInt(nullptr, 8))) == 0);
#else
    return ok && QStringLiteral("~*").contains(kind) && mode.isEmpty(); // no links, pipes, modes
#endif
}

} // namespace

// A case file's lines that are neither blank nor comments, as their fields apart by "|",
// trimmed; the tags a case begins with ("[unix]") are a column of their own, and a case for
// another system is left out.
void TestCli::addCases(const char *file, std::initializer_list<const char *> columns)
{
    QTest::addColumn<QStringList>("tags");
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    QFile cases(QStringLiteral(GPX_ROLLOVER_CASES "/") + QLatin1String(file));
    QVERIFY(cases.open(QIODevice::ReadOnly));
    for (int number = 1; !cases.atEnd(); ++number) {
        const QRegularExpressionMatch line =
            QRegularExpression(QStringLiteral("^((?:\\[\\w+\\]\\s*)*)([^#].*)$"))
                .match(QString::fromUtf8(cases.readLine()).trimmed());
        if (!line.hasMatch())
            continue;
        QStringList tags = line.captured(1).split(QRegularExpression(QStringLiteral("\\W+")));
        tags.removeAll(QString());
        if (tags.contains(QLatin1String(otherSystem)))
            continue;
        QTestData &row = QTest::addRow("%s:%d", file, number) << tags;
        const QStringList fields = line.captured(2).split(QLatin1Char('|'));
        for (int i = 0; i < int(columns.size()); ++i)
            row << fields.value(i).trimmed();
    }
}

void TestCli::copy()
{
    QFETCH(QStringList, tags);
    QFETCH(QString, input);
    QFETCH(QString, expected);
    const QString encoding = tags.filter(QRegularExpression(QStringLiteral("^utf"))).value(0);
    QTemporaryDir temporary;
    const QDir root(temporary.path());
    QVERIFY(writeFile(root.filePath("t.gpx"), encoded(unescape(input), encoding)));
    QCOMPARE(runTool(root, {GPX_ROLLOVER_BINARY, "t.gpx"}), qMakePair(0, QString()));
    const QByteArray copy = unescape(expected == "=" ? input : expected).replace('\n', lineEnd);
    QCOMPARE(readFile(root.filePath("gpswrok/t.gpx")), encoded(copy, encoding));
}

void TestCli::run()
{
    QFETCH(QStringList, tags);
    QFETCH(QString, tree);
    QFETCH(QString, args);
    QFETCH(QString, copies);
    QFETCH(QString, reports);
    QTemporaryDir temporary;
    const QDir root(temporary.path());
    // The tree on a file system of its own: a small one to fill, or a memory card's, which
    // has no unnamed temporary files.
    const QString image = root.path() + ".img";
    const QString mount =
        tags.contains(QLatin1String("tmpfs"))
            ? QStringLiteral("mount -t tmpfs -o size=256k tmpfs \"$0\"")
        : tags.contains(QLatin1String("exfat"))
            ? QStringLiteral("truncate -s 256M \"$1\" && mkfs.exfat \"$1\" && "
                             "mount.exfat-fuse \"$(losetup -f --show \"$1\")\" \"$0\"")
            : QString();
    const auto unmount = qScopeGuard([&] {
        if (!mount.isEmpty())
            QProcess::execute("sh", {"-c",
                                     "umount \"$0\"; losetup -j \"$1\" | cut -d: -f1 | xargs -r "
                                     "losetup -d; rm -f \"$1\"",
                                     root.path(), image});
    });
    if (!mount.isEmpty() &&
        QProcess::execute("sh", {"-c", mount + " >/dev/null", root.path(), image}) != 0)
        QSKIP("this file system cannot be mounted here");
    for (const QString &entry : listOf(tree)) {
        if (!makeEntry(root, entry))
            QSKIP("this tree cannot be made here");
    }
    QStringList command{QStringLiteral(GPX_ROLLOVER_BINARY)};
#ifdef Q_OS_UNIX
    ::umask(022);
    // Permission bits stop nobody who runs as root, so the tool then runs as an ordinary user.
    if (tags.contains(QLatin1String("nobody")) && ::geteuid() == 0) {
        command =
            QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
        if (QProcess::execute(command[0], command.mid(1)) != 0)
            QSKIP("cannot run as an ordinary user here");
        ::chmod(QFile::encodeName(root.path()), 0777);
    }
#endif
    int signal = 0; // one to interrupt the run with
#ifdef Q_OS_UNIX
    const QHash<QString, int> bySignalName{
        {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};
    for (const QString &tag : tags)
        signal = bySignalName.value(tag, signal);
#endif
    const auto run = runTool(root, command + listOf(args), signal);
    QString pattern = QStringLiteral("^"); // a line for each report, in text mode; "*" is any text
    for (const QString &report : reports.isEmpty() ? QStringList() : reports.split(';'))
        pattern += QRegularExpression::escape(report.trimmed())
                       .replace("\\*", ".*")
                       .prepend("gpx-rollover: ") +
                   QLatin1String(lineEnd);
    QVERIFY2(run.second.contains(QRegularExpression(pattern + "\\z")), qPrintable(run.second));
    QCOMPARE(run.first, signal ? 128 + signal : reports.isEmpty() ? 0 : 1);

    // Every file below a folder named gpswrok is a copy the case names, and an empty one is
    // named too; every other file is still what the tree made it.
    QStringList found, wanted;
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (QDirIterator it(root.path(), all, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = root.relativeFilePath(it.next());
        const QFileInfo entry = it.fileInfo();
        if (entry.isDir() && entry.fileName() == "gpswrok" && QDir(entry.filePath()).isEmpty(all))
            found << path + '/';
        else if (path.contains(QLatin1String("gpswrok/")) && !entry.isDir())
            found << path;
        else if (entry.isFile() && !entry.isSymLink())
            QVERIFY2(readFile(entry.filePath()).replace(original, "").isEmpty(), qPrintable(path));
    }
    for (QString copy : listOf(copies)) {
        const QByteArray holds = copy.endsWith('~')   ? earlierCopy
                                 : copy.endsWith('=') ? original
                                                      : corrected;
        copy.remove(QRegularExpression(QStringLiteral("[~=]$")));
        wanted << copy;
        QVERIFY2(copy.endsWith('/') || readFile(root.filePath(copy)) == holds, qPrintable(copy));
        // As cp does: a new copy is no more open than its track (the mask lets all through).
        const QString input = QString(copy).remove(copy.lastIndexOf(QLatin1String("gpswrok/")), 8);
        const auto bits = [&](const QString &path) {
            return QFile::permissions(root.filePath(path)) & ~QFileDevice::Permissions(0x0f00);
        };
        QVERIFY(holds != corrected || copy.endsWith('/') || bits(copy) == bits(input));
    }
    found.sort();
    wanted.sort();
    QCOMPARE(found, wanted);
}

// The fuzz target's corpus, as a test in every build: the target aborts where it finds a fault.
void TestCli::corpus_data()
{
    QTest::addColumn<QString>("path");
    const QDir corpus(QStringLiteral(GPX_ROLLOVER_CORPUS));
    for (const QString &name : corpus.entryList(QDir::Files))
        QTest::newRow(qPrintable(name)) << corpus.filePath(name);
    QVERIFY(!corpus.isEmpty());
}

void TestCli::corpus()
{
    QFETCH(QString, path);
    const QByteArray input = readFile(path);
    QCOMPARE(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.constData()),
                                    std::size_t(input.size())),
             0);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
