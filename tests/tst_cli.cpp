// The built tool on real folder trees, from the cases of cli.test: what a walk visits, writes and
// reports. What a copy holds is left to the fuzz target's oracles, run here on its corpus.
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
    void run_data();
    void run();
    void corpus_data();
    void corpus();
};

namespace
{

#ifdef Q_OS_WIN
const char *const lineEnd = "\r\n", *const otherSystem = "unix";
#else
const char *const lineEnd = "\n", *const otherSystem = "windows";
#endif

// The items of a list apart by spaces; in each, %HH is the byte HH (%20 a space, %0A a line end).
QStringList listOf(const QString &field)
{
    QStringList items;
    for (const QString &item : field.split(QLatin1Char(' ')))
        items << QString::fromUtf8(QByteArray::fromPercentEncoding(item.toUtf8()));
    items.removeAll(QString());
    return items;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QString daysAgo(int days)
{
    return QDate::currentDate().addDays(-days).toString(Qt::ISODate);
}
// One date that moves to today, one that would move to tomorrow, one text that is no date.
const QString track =
    "<gpx>\n<time>%1T1</time>\n<time>" + daysAgo(7167) + "T2</time>\n<time>x</time>";
const QByteArray original = track.arg(daysAgo(7168)).replace("\n", "\r\n").toUtf8();
const QByteArray corrected = track.arg(daysAgo(0)).append("\n").replace("\n", lineEnd).toUtf8();
const QByteArray earlierCopy("an earlier copy\n");

// Makes one entry of a tree as cli.test writes them.
bool makeEntry(const QDir &root, const QString &entry)
{
    const QRegularExpressionMatch m =
        QRegularExpression(
            QStringLiteral("(?s)^(.+?)(?:(->|=>|\\*)(.+?)|(~)|(\\(pipe\\)))?(:\\d+)?$"))
            .match(entry);
    const QString name = m.captured(1), kind = m.captured(2) + m.captured(4) + m.captured(5);
    const QString path = root.filePath(name), mode = m.captured(6).mid(1);
    bool ok = root.mkpath(QFileInfo(path).path());
    QFile file(path);
    const QByteArray bytes =
        kind == "~" ? earlierCopy : original.repeated(qMax(1, m.captured(3).toInt()));
    if (kind.isEmpty() ? !name.endsWith(QLatin1Char('/')) : kind == "~" || kind == "*")
        ok = ok && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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

// cli.test's lines that are neither blank nor comments, as their fields apart by "|", trimmed;
// the tags a case begins with ("[unix]") are a column of their own, and a case for another
// system is left out.
void TestCli::run_data()
{
    QTest::addColumn<QStringList>("tags");
    for (const char *column : {"tree", "args", "copies", "reports"})
        QTest::addColumn<QString>(column);
    QFile cases(QStringLiteral(GPX_ROLLOVER_CASES "/cli.test"));
    QVERIFY(cases.open(QIODevice::ReadOnly));
    while (!cases.atEnd()) {
        const QRegularExpressionMatch line =
            QRegularExpression(QStringLiteral("^((?:\\[\\w+\\]\\s*)*)([^#].*)$"))
                .match(QString::fromUtf8(cases.readLine()).trimmed());
        const QStringList tags = line.captured(1).split(QRegularExpression(QStringLiteral("\\W+")));
        if (!line.hasMatch() || tags.contains(QLatin1String(otherSystem)))
            continue;
        const QStringList fields = line.captured(2).split(QLatin1Char('|'));
        QTestData &row = QTest::newRow(qPrintable(fields[0].trimmed())) << tags;
        for (int i = 1; i < 5; ++i)
            row << fields.value(i).trimmed();
    }
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
    // [cardSIZE]: the tree on a memory card's file system of that size, which has no unnamed
    // temporary files.
    const QString card =
        tags.filter(QRegularExpression(QStringLiteral("^card\\w+$"))).value(0).mid(4);
    const auto shell = [&](const char *script) { // $0 the tree, $1 the card's image, $2 its size
        return QProcess::execute("sh", {"-c", script, root.path(), root.path() + ".img", card});
    };
    const auto unmount = qScopeGuard([&] {
        if (!card.isEmpty())
            shell("umount \"$0\"; losetup -j \"$1\" | cut -d: -f1 | xargs -r losetup -d; rm -f "
                  "\"$1\"");
    });
    if (!card.isEmpty() && shell("truncate -s \"$2\" \"$1\" && mkfs.exfat \"$1\" >/dev/null && "
                                 "mount.exfat-fuse \"$(losetup -f --show \"$1\")\" \"$0\"") != 0)
        QSKIP("a memory card's file system cannot be mounted here");
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
    // [signalN]: signal N interrupts the run.
    const int signal =
        tags.filter(QRegularExpression(QStringLiteral("^signal\\d+$"))).value(0).mid(6).toInt();
    QProcess tool;
    tool.setWorkingDirectory(root.path());
    const QString program = command.takeFirst();
    tool.start(program, command + listOf(args));
#ifdef Q_OS_UNIX
    // The signal is sent once the tool is writing, in the middle of its first copy.
    const QString io = QStringLiteral("/proc/%1/io").arg(tool.processId());
    for (int i = 0; signal && i < 100000 && readFile(io).contains("\nwchar: 0\n"); ++i)
        ::usleep(100);
    if (signal)
        ::kill(pid_t(tool.processId()), signal);
#endif
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.readAllStandardOutput(), QByteArray());
    const QString reported = QString::fromUtf8(tool.readAllStandardError());
    QString pattern = QStringLiteral("^"); // a line for each report, in text mode; "*" is any text
    for (const QString &report : reports.isEmpty() ? QStringList() : reports.split(';'))
        pattern += QRegularExpression::escape(report.trimmed())
                       .replace("\\*", ".*")
                       .prepend("gpx-rollover: ") +
                   QLatin1String(lineEnd);
    QVERIFY2(reported.contains(QRegularExpression(pattern + "\\z")), qPrintable(reported));
    // An ended run's status, or 128 and the signal that ended it.
    QCOMPARE(tool.exitCode() + (tool.exitStatus() == QProcess::CrashExit ? 128 : 0),
             signal ? 128 + signal : int(!reports.isEmpty()));

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
    // Where an oracle disagrees, the target aborts, and the run fails.
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.constData()),
                           std::size_t(input.size()));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
