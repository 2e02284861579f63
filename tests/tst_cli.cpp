// The built tool on real folder trees, from the cases of cli.test: what a walk visits, writes and
// reports. What a copy holds is left to the fuzz target's oracles, run here on its corpus.
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include "fuzz_copy.h"
#include "stream/stream_copy.h"

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif
#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#endif
#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif

class TestCli : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void run_data();
    void run();
    void copy_data();
    void copy();
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

// A name of the case file's bytes as the test hands it to Qt. On Unix with Qt 5 the test reads
// and writes names as Latin-1, one character a byte, so that names that are no UTF-8 are made
// and found byte for byte; Qt 6 has no such reading, and such names are not made there.
QString nameOf(const QByteArray &bytes)
{
#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    return QFile::decodeName(bytes);
#else
    const QString name = QString::fromUtf8(bytes);
    return name.toUtf8() == bytes ? name : QString();
#endif
}

// The items of a list apart by spaces; in each, %HH is the byte HH (%20 a space, %0A a line
// end), and "#N" stands for N items numbered 1 to N ("t#3.gpx": t1.gpx t2.gpx t3.gpx).
QStringList listOf(const QString &field)
{
    QStringList items;
    for (const QString &item : field.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch many =
            QRegularExpression(QStringLiteral("^(.*)#(\\d+)(.*)$")).match(item);
        for (int i = 1; i <= (many.hasMatch() ? many.captured(2).toInt() : 1); ++i) {
            const QString one =
                many.hasMatch() ? many.captured(1) + QString::number(i) + many.captured(3) : item;
            items << nameOf(QByteArray::fromPercentEncoding(one.toUtf8()));
        }
    }
    return items;
}

// Lines a run prints, in text mode, as a pattern: ";" parts lines, "*" is any text.
QString linesPattern(const QString &lines, const QString &prefix)
{
    QString pattern = QStringLiteral("^");
    for (QString line : lines.isEmpty() ? QStringList() : lines.split(';')) {
#ifdef Q_OS_WIN
        // A Windows user's separator, but not in the system's own words.
        line.replace('/', '\\').replace(QLatin1String("Input\\output"),
                                        QLatin1String("Input/output"));
#endif
        pattern += QRegularExpression::escape(prefix + line.trimmed()).replace("\\*", ".*") +
                   QLatin1String(lineEnd);
    }
    return pattern + "\\z";
}

// Every entry below `root`, with its size and time of change: what a run that writes nothing
// leaves as it found it.
QStringList listing(const QDir &root)
{
    QStringList entries;
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (QDirIterator it(root.path(), all, QDirIterator::Subdirectories); it.hasNext();) {
        const QFileInfo entry(it.next());
        entries << QStringLiteral("%1 %2 %3")
                       .arg(root.relativeFilePath(entry.filePath()))
                       .arg(entry.size())
                       .arg(entry.lastModified().toMSecsSinceEpoch());
    }
    entries.sort();
    return entries;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// One date that moves to today, one that would move to tomorrow, one text that is no date.
struct Tracks {
    QByteArray original, corrected;
};

Tracks tracksFor(const QDate &today)
{
    const auto daysAgo = [&](int days) { return today.addDays(-days).toString(Qt::ISODate); };
    const QString track =
        "<gpx>\n<time>%1T1</time>\n<time>" + daysAgo(7167) + "T2</time>\n<time>x</time>";
    return {track.arg(daysAgo(7168)).replace("\n", "\r\n").toUtf8(),
            track.arg(daysAgo(0)).append("\n").replace("\n", lineEnd).toUtf8()};
}

const QByteArray earlierCopy("an earlier copy\n");

// Permission bits as Qt spells them (owner, group, others: 0x7000, 0x0070, 0x0007).
int qtBitsOf(uint mode)
{
    return int((mode >> 6 & 7) << 12 | (mode >> 3 & 7) << 4 | (mode & 7));
}

// Makes one entry of a tree as cli.test writes them.
bool makeEntry(const QDir &root, QString entry, const QByteArray &original)
{
    // "@N": last changed N days before one fixed time.
    const int at = entry.lastIndexOf(QRegularExpression(QStringLiteral("@\\d+$")));
    const long days = at < 0 ? -1 : entry.mid(at + 1).toLong();
    if (at >= 0)
        entry.truncate(at);
    const QRegularExpressionMatch m =
        QRegularExpression(
            QStringLiteral("(?s)^(.+?)(?:(->|=>|\\*)(.+?)|(~)|(\\((?:pipe|socket)\\)))?(:\\d+)?$"))
            .match(entry);
    const QString name = m.captured(1), kind = m.captured(2) + m.captured(4) + m.captured(5);
    const QString path = root.filePath(name), mode = m.captured(6).mid(1);
    bool ok = root.mkpath(QFileInfo(path).path());
    QFile file(path);
    const QByteArray bytes =
        kind == "~" ? earlierCopy : original.repeated(qMax(1, m.captured(3).toInt()));
    if (kind.isEmpty() ? !name.endsWith(QLatin1Char('/')) : kind == "~" || kind == "*")
        ok = ok && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    file.close();
#ifdef Q_OS_UNIX
    const struct timespec times[2] = {{1704110400 - days * 86400, 0},
                                      {1704110400 - days * 86400, 0}};
    if (days >= 0)
        ok = ok && ::utimensat(AT_FDCWD, QFile::encodeName(path), times, 0) == 0;
    const QByteArray native = QFile::encodeName(path);
    const QByteArray to =
        QFile::encodeName(kind == "=>" ? root.filePath(m.captured(3)) : m.captured(3));
    if (kind == "->" || kind == "=>" || kind.startsWith('('))
        ok = ok && (kind == "->"       ? ::symlink(to, native)
                    : kind == "=>"     ? ::link(to, native)
                    : kind == "(pipe)" ? ::mkfifo(native, 0644)
                                       : ::mknod(native, S_IFSOCK | 0644, 0)) == 0;
    return ok && (mode.isEmpty() || ::chmod(native, mode_t(mode.toInt(nullptr, 8))) == 0);
#else
    // Windows: a hard link, and of a mode only whether the file is read-only; no symbolic links,
    // no pipes, no folder that cannot be written into, no time of change.
    Q_UNUSED(days);
    if (kind == "=>")
        ok = ok &&
             CreateHardLinkW(
                 reinterpret_cast<const wchar_t *>(path.utf16()),
                 reinterpret_cast<const wchar_t *>(root.filePath(m.captured(3)).utf16()), nullptr);
    if (!mode.isEmpty())
        ok = ok && !name.endsWith('/') &&
             QFile::setPermissions(path,
                                   QFileDevice::Permissions(qtBitsOf(mode.toUInt(nullptr, 8))));
    return ok && QStringLiteral("~*=>").contains(kind);
#endif
}

// The folders of this run's cases; a folder that an earlier run, killed, left is removed.
QString casesFolder;
bool privateMounts = false;

} // namespace

void TestCli::initTestCase()
{
#if defined(Q_OS_UNIX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
#endif
    const QDir runs(QDir::temp().filePath("tst_cli"));
    for (const QString &pid : runs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
#ifdef Q_OS_UNIX
        if (::kill(pid_t(pid.toLongLong()), 0) != 0 && errno == ESRCH)
#endif
            QDir(runs.filePath(pid)).removeRecursively();
    }
    casesFolder = runs.filePath(QString::number(QCoreApplication::applicationPid()));
    QVERIFY(QDir().mkpath(casesFolder));
#ifdef Q_OS_LINUX
    // Card images are mounted where only this test sees them, and go with it.
    privateMounts = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                    ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
#endif
}

void TestCli::cleanupTestCase()
{
    QDir(casesFolder).removeRecursively();
}

namespace
{

// A case of a case file: its tags ("[unix]") and its fields apart by "|", trimmed, and the line
// where it begins. Blank lines and comments are none, and neither is a case for another system.
// A line that ends in a backslash goes on in the next one, as if a space stood between.
struct Case {
    QStringList tags, fields;
    int line = 0;
};

// A row of the table of tags at the top of cli.test.
struct Tag {
    QRegularExpression name; // N, NNN and SIZE stand for what they say
    bool faulty = false;     // the case needs the build whose system calls fail
    bool dryFirst = true;    // the case is run with --dry-run first
    QString runsOn;          // "both", "unix" or "windows"
};

// The table, read once.
const QList<Tag> &tagTable()
{
    static const QList<Tag> table = [] {
        QList<Tag> rows;
        QFile cases(QStringLiteral(GPX_ROLLOVER_CASES "/cli.test"));
        if (!cases.open(QIODevice::ReadOnly))
            qFatal("cannot read cli.test");
        const QRegularExpression row(
            QStringLiteral("^#: (\\w+)\\s+(yes|no)\\s+(yes|no)\\s+(both|unix|windows)\\s"));
        while (!cases.atEnd()) {
            const QRegularExpressionMatch m = row.match(QString::fromUtf8(cases.readLine()));
            if (!m.hasMatch())
                continue;
            QString name = QRegularExpression::escape(m.captured(1));
            name.replace(QLatin1String("NNN"), QLatin1String("[0-7]{3}"))
                .replace(QLatin1String("SIZE"), QLatin1String("\\w+"))
                .replace(QLatin1String("N"), QLatin1String("\\d+"));
            rows.append({QRegularExpression('^' + name + '$'), m.captured(2) == "yes",
                         m.captured(3) == "yes", m.captured(4)});
        }
        return rows;
    }();
    return table;
}

// The row of the table that `tag` is; a tag that none is stops the test.
const Tag &tagRow(const QString &tag)
{
    for (const Tag &row : tagTable())
        if (row.name.match(tag).hasMatch())
            return row;
    qFatal("cli.test: the tag [%s] is no row of the table of tags", qPrintable(tag));
}

// The cases of a case file, less those for the other system: tagged with its name, or, in a file
// of tagged cases, with a tag of the table that runs there only.
QList<Case> casesOf(const char *name, bool tabled)
{
    QList<Case> found;
    QFile cases(QStringLiteral(GPX_ROLLOVER_CASES "/") + name);
    if (!cases.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", name);
    for (int number = 1; !cases.atEnd(); ++number) {
        const int first = number;
        QString text = QString::fromUtf8(cases.readLine()).trimmed();
        while (text.endsWith(QLatin1Char('\\')) && !cases.atEnd()) {
            text = text.chopped(1) + ' ' + QString::fromUtf8(cases.readLine()).trimmed();
            ++number;
        }
        const QRegularExpressionMatch line =
            QRegularExpression(QStringLiteral("^((?:\\[\\w+\\]\\s*)*)([^#].*)$")).match(text);
        QStringList tags = line.captured(1).split(QRegularExpression(QStringLiteral("\\W+")));
        tags.removeAll(QString());
        if (!line.hasMatch() || tags.contains(QLatin1String(otherSystem)) ||
            (tabled && std::any_of(tags.begin(), tags.end(), [](const QString &tag) {
                 return tagRow(tag).runsOn == QLatin1String(otherSystem);
             })))
            continue;
        const QStringList fields = line.captured(2).split(QLatin1Char('|'));
        found.append({tags, fields, first});
    }
    return found;
}

// A case's text with its dates written out for the clock at `now`, its %HH bytes decoded, in
// the encoding a tag asks for.
QByteArray textOf(QString text, const QStringList &tags, const QDateTime &now)
{
    const QRegularExpression repeated(QStringLiteral("\\{([^{}*]*)\\*(\\d+)\\}"));
    for (QRegularExpressionMatch m; (m = repeated.match(text)).hasMatch();)
        text.replace(m.capturedStart(), m.capturedLength(),
                     m.captured(1).repeated(m.captured(2).toInt()));
    const QRegularExpression date(
        QStringLiteral("\\{([RD]) (Z|([+-])(\\d\\d):(\\d\\d))(?: ([+-]\\d+)([mhd]))?\\}"));
    for (QRegularExpressionMatch m; (m = date.match(text)).hasMatch();) {
        const int sign = m.captured(3) == QLatin1String("-") ? -1 : 1;
        const qint64 unit = m.captured(7) == QLatin1String("m")   ? 60
                            : m.captured(7) == QLatin1String("h") ? 3600
                                                                  : 86400;
        const QDateTime at =
            now.addSecs(sign * (m.captured(4).toInt() * 3600 + m.captured(5).toInt() * 60) +
                        m.captured(6).toLongLong() * unit);
        const QDateTime written = m.captured(1) == QLatin1String("R") ? at.addDays(-7168) : at;
        text.replace(m.capturedStart(), m.capturedLength(),
                     written.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")));
    }
    const QByteArray bytes = QByteArray::fromPercentEncoding(text.toUtf8());
    const bool bigEndian =
        tags.contains(QLatin1String("utf16be")) || tags.contains(QLatin1String("utf32be"));
    QByteArray out;
    if (tags.contains(QLatin1String("utf16le")) || tags.contains(QLatin1String("utf16be"))) {
        for (const QChar c : QString::fromUtf8(bytes)) {
            const char units[] = {char(c.unicode() & 0xFF), char(c.unicode() >> 8)};
            out.append(units[bigEndian ? 1 : 0]).append(units[bigEndian ? 0 : 1]);
        }
        return out;
    }
    if (tags.contains(QLatin1String("utf32le")) || tags.contains(QLatin1String("utf32be"))) {
        for (const uint c : QString::fromUtf8(bytes).toUcs4())
            for (int i = 0; i < 4; ++i)
                out.append(char(c >> 8 * (bigEndian ? 3 - i : i)));
        return out;
    }
    return bytes;
}

} // namespace

namespace
{

// The rows of a case file: its tags, then `columns` (names that live as long as the test), then
// the line where the case stands.
void addCases(const char *file, std::initializer_list<const char *> columns)
{
    QTest::addColumn<QStringList>("tags");
    for (const char *column : columns)
        QTest::addColumn<QString>(column);
    QTest::addColumn<int>("line");
    for (const Case &c : casesOf(file, qstrcmp(file, "cli.test") == 0)) {
        QTestData &row = QTest::newRow(qPrintable(c.fields[0].trimmed())) << c.tags;
        for (int i = 1; i <= int(columns.size()); ++i)
            row << c.fields.value(i).trimmed();
        row << c.line;
    }
}

// A case that fails names where it stands.
auto naming(const char *file, int line)
{
    return qScopeGuard([=] {
        if (QTest::currentTestFailed())
            qWarning("the case of %s:%d", file, line);
    });
}

// A case's tree, made in a folder of its own, on a memory card's file system or on one mounted
// read-only where the case asks; its mounts end with it, however the case ends.
struct CaseTree {
    QTemporaryDir temporary{casesFolder + "/case-XXXXXX"};
    QDir root{temporary.filePath("tree")};
    // The card's keeper, in this test's mount namespace and a session of its own (so that a kill
    // of the test's process group spares it): it attaches the image to a loop device, starts
    // the driver, and lets go of the device once the driver holds it (the device then goes when
    // the driver does). Once the test lets go of its input (the case is over, or the test died,
    // even by SIGKILL) it unmounts the card lazily and only then ends the driver: a driver that
    // is last in the namespace would tear the mount down on its own exit and wait for itself to
    // answer FUSE's DESTROY, in state D for ever, with its loop device.
    QProcess keeper;
    bool boundReadOnly = false;

    ~CaseTree()
    {
#ifdef Q_OS_LINUX
        if (boundReadOnly)
            ::umount2(QFile::encodeName(root.path()).constData(), MNT_DETACH);
#endif
        if (keeper.state() != QProcess::NotRunning) {
            keeper.closeWriteChannel();
            keeper.waitForFinished();
        }
    }

    // Makes the entries of `tree`, each holding `track` where it is a track: on a card of the
    // size `card` names (exFAT through its FUSE driver, which has no unnamed temporary files),
    // and then on a file system mounted read-only where `readOnly` says so. Returns what this
    // machine lacks to make it, or nothing.
    QString make(const QString &tree, const QString &card, bool readOnly, const QByteArray &track)
    {
        if (!root.mkpath("."))
            return QStringLiteral("the case's folder cannot be made here");
        if (!card.isEmpty()) {
            if (!privateMounts)
                return QStringLiteral("a memory card's file system cannot be mounted here");
            const QString image = temporary.filePath("card.img");
            if (QProcess::execute(
                    "sh", {"-c", "truncate -s \"$1\" \"$0\" && mkfs.exfat \"$0\" >/dev/null", image,
                           card}) != 0)
                return QStringLiteral("a memory card's file system cannot be made here");
            keeper.setStandardOutputFile(QProcess::nullDevice());
            keeper.setStandardErrorFile(QProcess::nullDevice());
            keeper.start(
                "setsid",
                {"sh", "-c",
                 "device=$(losetup -f --show \"$0\") || exit 1; "
                 "mount.exfat-fuse -d \"$device\" \"$1\" & driver=$!; "
                 "for i in $(seq 200); do mountpoint -q \"$1\" && break; sleep 0.05; done; "
                 "losetup -d \"$device\"; cat >/dev/null; "
                 "umount -l \"$1\"; kill $driver; wait $driver",
                 image, root.path()});
            for (int i = 0; i < 200 && QProcess::execute("mountpoint", {"-q", root.path()}) != 0;
                 ++i)
                QTest::qWait(50);
            if (QProcess::execute("mountpoint", {"-q", root.path()}) != 0)
                return QStringLiteral("a memory card's file system cannot be mounted here");
        }
        for (const QString &entry : listOf(tree)) {
            if (!makeEntry(root, entry, track))
                return QStringLiteral("this tree cannot be made here");
        }
        if (!readOnly)
            return QString();
#ifdef Q_OS_LINUX
        const QByteArray rootPath = QFile::encodeName(root.path());
        boundReadOnly = privateMounts && ::mount(rootPath.constData(), rootPath.constData(),
                                                 nullptr, MS_BIND, nullptr) == 0;
        if (boundReadOnly && ::mount(nullptr, rootPath.constData(), nullptr,
                                     MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0)
            return QString();
#endif
        return QStringLiteral("no file system can be mounted read-only here");
    }
};

// After a run: every file below a folder named gpswrok is a copy the case names (an empty
// gpswrok folder is named too), holding what it must with the bits it must have; every other file
// is still what the tree made it. `gpswrokCase` is how a name is told for "gpswrok" (a card keeps
// no letter case); `mask`, the run's umask.
void checkTree(const QDir &root, const QString &tree, const QString &copies, const Tracks &tracks,
               Qt::CaseSensitivity gpswrokCase, uint mask)
{
    const QByteArray &original = tracks.original, &corrected = tracks.corrected;
    QStringList found, wanted;
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (QDirIterator it(root.path(), all, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = root.relativeFilePath(it.next());
        const QFileInfo entry = it.fileInfo();
        if (entry.isDir() && entry.fileName() == "gpswrok" && QDir(entry.filePath()).isEmpty(all))
            found << path + '/';
        // A card keeps no letter case: there "GPSWROK" is the gpswrok folder.
        else if (path.contains(QLatin1String("gpswrok/"), gpswrokCase) && !entry.isDir())
            found << path;
        else if (entry.isFile() && !entry.isSymLink())
            QVERIFY2(readFile(entry.filePath()).replace(original, "").isEmpty(), qPrintable(path));
    }
    for (QString copy : listOf(copies)) {
        const QString input =
            QString(copy)
                .remove(QRegularExpression(QStringLiteral("[~=]$")))
                .remove(copy.lastIndexOf(QLatin1String("gpswrok/"), -1, Qt::CaseInsensitive), 8);
        // A corrected copy holds the corrected track as many times as its track holds the track.
        const int times = qMax(1, int(QFileInfo(root.filePath(input)).size() / original.size()));
        const QByteArray holds =
            copy.endsWith('~')   ? earlierCopy
            : copy.endsWith('=') ? original
            : times == 1         ? corrected
                         : corrected.chopped(int(qstrlen(lineEnd))).repeated(times) + lineEnd;
        copy.remove(QRegularExpression(QStringLiteral("[~=]$")));
        wanted << copy;
        QVERIFY2(copy.endsWith('/') || readFile(root.filePath(copy)) == holds, qPrintable(copy));
        // As cp does: a new copy is no more open than its track (the mask lets all through).
        // A copy that replaced an earlier one keeps that one's bits, as cp does. A card's file
        // system gives every file the same bits.
        const auto bits = [&](const QString &path) {
            return QFile::permissions(root.filePath(path)) & ~QFileDevice::Permissions(0x0f00);
        };
        const bool replaced = listOf(tree).contains(copy + '~');
        // An earlier copy that stays keeps its bits, a read-only one too (Windows clears the
        // bit to replace it, and must put it back where the replacing fails).
        const QString earlierMode =
            listOf(tree)
                .filter(QRegularExpression('^' + QRegularExpression::escape(copy) + "~:[0-7]+$"))
                .value(0)
                .section(':', -1);
        if (holds == earlierCopy && !earlierMode.isEmpty())
            QCOMPARE(bits(copy),
                     QFileDevice::Permissions(qtBitsOf(earlierMode.toUInt(nullptr, 8))));
        QVERIFY(holds == earlierCopy || holds == original || copy.endsWith('/') || replaced ||
                bits(copy) ==
                    (bits(input) & ~QFileDevice::Permissions(
                                       gpswrokCase == Qt::CaseSensitive ? qtBitsOf(mask) : 0)));
    }
    found.sort();
    wanted.sort();
    QCOMPARE(found, wanted);
}

// How far the tool has come in the case's large copy: the bytes it has written (Linux counts
// them), or those of the largest temporary in the tree (Windows names its temporaries).
qint64 writtenBy([[maybe_unused]] const QProcess &tool, [[maybe_unused]] const QDir &root)
{
#ifdef Q_OS_LINUX
    const QByteArray counts = readFile(QStringLiteral("/proc/%1/io").arg(tool.processId()));
    const int at = counts.indexOf("\nwchar: ");
    return at < 0 ? -1 : counts.mid(at + 8, counts.indexOf('\n', at + 1) - at - 8).toLongLong();
#else
    qint64 most = -1;
    for (QDirIterator it(root.path(), {QStringLiteral(".gpx-rollover-*")},
                         QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
         it.hasNext();)
        most = qMax(most, QFileInfo(it.next()).size());
    return most;
#endif
}

#ifdef Q_OS_WIN
// Windows' own ways to what tags set up for the tool: [closed], no standard output at all;
// [signal2], a console of its own, hidden, that a Ctrl-C can be pressed in without the test's.
void stageForWindows(QProcess &tool, const QStringList &tags)
{
    tool.setCreateProcessArgumentsModifier([=](QProcess::CreateProcessArguments *arguments) {
        if (tags.contains(QLatin1String("closed")))
            arguments->startupInfo->hStdOutput = INVALID_HANDLE_VALUE;
        if (tags.contains(QLatin1String("signal2"))) {
            arguments->flags = (arguments->flags & ~DWORD(CREATE_NO_WINDOW)) | CREATE_NEW_CONSOLE;
            arguments->startupInfo->dwFlags |= STARTF_USESHOWWINDOW;
            arguments->startupInfo->wShowWindow = SW_HIDE;
        }
    });
}

// A Ctrl-C pressed in the console of `tool`: the test joins it, lets the key pass it by (a
// console's Ctrl-C goes to every program in it; a handler, unlike ignoring the key, is not passed
// on to the tools the test starts later), and goes back to its own.
BOOL WINAPI passBy(DWORD event)
{
    return event == CTRL_C_EVENT;
}

void pressCtrlC(const QProcess &tool)
{
    SetConsoleCtrlHandler(passBy, TRUE);
    FreeConsole();
    AttachConsole(DWORD(tool.processId()));
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    AttachConsole(ATTACH_PARENT_PROCESS); // where the test was started from a console
}
#endif

// A run's exit status as a Unix shell gives it: that of an ended run, or 128 and the signal that
// ended it. Windows ends a program stopped by Ctrl-C with STATUS_CONTROL_C_EXIT, and one that
// QProcess::kill ends with a code of Qt's own, which are told as SIGINT and SIGKILL.
int statusOf(const QProcess &tool)
{
#ifdef Q_OS_WIN
    if (tool.exitStatus() == QProcess::CrashExit)
        return 128 + (uint(tool.exitCode()) == 0xC000013AU ? 2 : 9);
#endif
    return tool.exitCode() + (tool.exitStatus() == QProcess::CrashExit ? 128 : 0);
}

} // namespace

void TestCli::run_data()
{
    addCases("cli.test", {"tree", "args", "copies", "reports", "output"});
}

void TestCli::copy_data()
{
    addCases("copy.test", {"track", "copy", "moved"});
}

// A track's copy, read and written in memory by the copy that the tool makes of a file.
void TestCli::copy()
{
    QFETCH(QStringList, tags);
    QFETCH(QString, track);
    QFETCH(QString, copy);
    QFETCH(QString, moved);
    QFETCH(int, line);
    const auto where = naming("copy.test", line);
    // Once more when the date at UTC+14 turned between the case's reading of the clock and the
    // copy's.
    const auto latestDate = [] {
        return QDateTime::currentDateTimeUtc().addSecs(14 * 3600).date();
    };
    for (int attempt = 0;; ++attempt) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        QBuffer in, out;
        in.setData(textOf(track, tags, now));
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        CopyOptions options;
        options.crlfLineEnds = false;
        // [blockN]: read N bytes at a time, so that a value falls across a block's end.
        const QString block =
            tags.filter(QRegularExpression(QStringLiteral("^block\\d+$"))).value(0).mid(5);
        if (!block.isEmpty())
            options.blockSize = block.toInt();
        TimeStampCount count;
        QCOMPARE(int(copyCorrected(in, out, options, &count).failure), int(CopyFailure::none));
        if (attempt == 0 && latestDate() != now.addSecs(14 * 3600).date())
            continue;
        QCOMPARE(out.data(), textOf(copy, tags, now));
        QCOMPARE(QStringLiteral("%1 of %2").arg(count.moved).arg(count.seen), moved);
        break;
    }
}

void TestCli::run()
{
    QFETCH(QStringList, tags);
    QFETCH(QString, tree);
    QFETCH(QString, args);
    QFETCH(QString, copies);
    QFETCH(QString, reports);
    QFETCH(QString, output);
    QFETCH(int, line);
    const auto where = naming("cli.test", line);
    if (listOf(tree + ' ' + args + ' ' + copies).contains(QString()))
        QSKIP("a name that is no text cannot be made here");
    const QString card =
        tags.filter(QRegularExpression(QStringLiteral("^card\\w+$"))).value(0).mid(4);
    CaseTree caseTree;
    const QDir &root = caseTree.root;
    // The tool's today is the date at UTC+14, the latest on Earth, whatever the machine's zone.
    // [west] and [east] run it in a zone whose date is a day behind, or ahead of, UTC's at this
    // hour.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const int hour = now.time().hour();
    const QDate today = now.addSecs(14 * 3600).date();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (tags.contains(QLatin1String("west")))
        // Two digits: glibc takes a zone's name in angle brackets only from three characters on.
        environment.insert("TZ", QStringLiteral("<-%1>%1").arg(hour + 1, 2, 10, QLatin1Char('0')));
    else if (tags.contains(QLatin1String("east")))
        environment.insert("TZ",
                           QStringLiteral("<+%1>-%1").arg(24 - hour, 2, 10, QLatin1Char('0')));
    const Tracks tracks = tracksFor(today);
    if (const QString lack =
            caseTree.make(tree, card, tags.contains(QLatin1String("readOnly")), tracks.original);
        !lack.isEmpty())
        QSKIP(qPrintable(lack));
    QStringList command{QStringLiteral(GPX_ROLLOVER_BINARY)};
    // [umaskNNN]: the tool runs under that umask; 022 else. Windows has none.
    const QString umaskTag =
        tags.filter(QRegularExpression(QStringLiteral("^umask[0-7]{3}$"))).value(0).mid(5);
#ifdef Q_OS_UNIX
    const uint mask = umaskTag.isEmpty() ? 022 : umaskTag.toUInt(nullptr, 8);
    ::umask(mode_t(mask));
#else
    const uint mask = 0;
#endif
#ifdef Q_OS_UNIX
    // Permission bits stop nobody who runs as root, so the tool then runs as an ordinary user.
    if (tags.contains(QLatin1String("nobody")) && ::geteuid() == 0) {
        command =
            QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
        if (QProcess::execute(command[0], command.mid(1)) != 0)
            QSKIP("cannot run as an ordinary user here");
        ::chmod(QFile::encodeName(caseTree.temporary.path()), 0755);
        ::chmod(QFile::encodeName(root.path()), 0777);
    }
#endif
#ifdef Q_OS_UNIX
    // [gone]: standard output is a pipe whose reader is gone before the run begins.
    if (tags.contains(QLatin1String("gone")))
        command = QStringList{"bash", "-c",
                              "coproc true; exec 5>&${COPROC[1]}; wait; exec \"$0\" \"$@\" >&5"} +
                  command;
    // [full] and [closed]: standard output is a full disk, or not open at all.
    if (tags.contains(QLatin1String("full")) || tags.contains(QLatin1String("closed")))
        command = QStringList{"sh", "-c",
                              tags.contains(QLatin1String("full")) ? "exec \"$0\" \"$@\" >/dev/full"
                                                                   : "exec \"$0\" \"$@\" >&-"} +
                  command;
#else
    // [full]: Windows has no full device; Wine leads to Linux's.
    const QString fullDevice = QStringLiteral("Z:\\dev\\full");
    if (tags.contains(QLatin1String("full")) && !QFile(fullDevice).open(QIODevice::Append))
        QSKIP("no device here is always full");
#endif
    // [signalN]: signal N interrupts the run.
    const int signal =
        tags.filter(QRegularExpression(QStringLiteral("^signal\\d+$"))).value(0).mid(6).toInt();
#ifdef GPX_ROLLOVER_FAULTY_BINARY
    // [shortReads], [noSpaceN], [flushFails], [namingFailsN], ...: the tool whose system calls
    // fail so.
    QStringList faults;
    for (const QString &tag : tags)
        if (tagRow(tag).faulty)
            faults << tag;
    if (!faults.isEmpty()) {
        command.replaceInStrings(QStringLiteral(GPX_ROLLOVER_BINARY),
                                 QStringLiteral(GPX_ROLLOVER_FAULTY_BINARY));
        environment.insert("GPX_ROLLOVER_FAULTS", faults.join(' '));
    }
#endif
    const QString program = command.takeFirst();
    // A run, with `extra` options before the case's own.
    const auto start = [&](QProcess &tool, const QStringList &extra = {}) {
        tool.setWorkingDirectory(root.path());
        tool.setProcessEnvironment(environment);
        // [merged]: standard error goes where standard output goes, and OUTPUT holds both.
        if (tags.contains(QLatin1String("merged")))
            tool.setProcessChannelMode(QProcess::MergedChannels);
#ifdef Q_OS_WIN
        stageForWindows(tool, tags);
        if (tags.contains(QLatin1String("full")))
            tool.setStandardOutputFile(fullDevice);
#endif
        tool.start(program, command + extra + listOf(args));
    };
    // The status a run must end with: that of an ended run, or 128 and the signal that ended it;
    // [statusN] says another.
    const int status =
        tags.filter(QRegularExpression(QStringLiteral("^status\\d+$"))).value(0).mid(6).toInt();
    const QString failures = linesPattern(reports, "gpx-rollover: ");
    // A dry run takes the real road first, on every tree whose run writes nothing unusual: it
    // must fail as the real run does, end with its status, and leave the tree as it was.
    if (std::all_of(tags.begin(), tags.end(),
                    [](const QString &tag) { return tagRow(tag).dryFirst; }) &&
        !args.contains(QRegularExpression(QStringLiteral("(^| )(-n|--dry-run|--help|-h)( |$)")))) {
        const QStringList before = listing(root);
        QProcess dry;
        start(dry, {"--dry-run"});
        QVERIFY(dry.waitForFinished(60000));
        const QString said = QString::fromUtf8(dry.readAllStandardError());
        QVERIFY2(said.contains(QRegularExpression(failures)), qPrintable("dry run: " + said));
        QCOMPARE(statusOf(dry), status ? status : int(!reports.isEmpty()));
        QCOMPARE(listing(root), before);
    }
    // [held], [heldN]: another program (a virus scanner) holds the tree's earlier copies open
    // through the run, or for N ms after it starts.
    std::vector<std::unique_ptr<QFile>> held;
    const QString holdTag =
        tags.filter(QRegularExpression(QStringLiteral("^held\\d*$"))).value(0).mid(4);
    for (QString entry : listOf(tree)) {
        entry.remove(QRegularExpression(QStringLiteral(":[0-7]+$"))); // its bits
        if (tags.contains("held" + holdTag) && entry.endsWith('~')) {
            held.push_back(std::make_unique<QFile>(root.filePath(entry.chopped(1))));
            QVERIFY(held.back()->open(QIODevice::ReadOnly));
        }
    }
    QProcess first, second;
    start(first);
    if (!holdTag.isEmpty()) {
        QThread::msleep(holdTag.toULong());
        held.clear();
    }
    // [twice]: two runs at once on the same tree, and both must say the same.
    const bool twice = tags.contains(QLatin1String("twice"));
    if (twice)
        start(second);
    // The signal is sent in the middle of the case's large copy: once the tool has written more
    // than any small copy holds (a start-up may write a few bytes of its own before any copy).
    // [pulled]: the card goes, as when it is pulled out: its driver is killed.
    const bool pulled = tags.contains(QLatin1String("pulled"));
    for (int i = 0; (signal || pulled) && i < 100000 && writtenBy(first, root) < 65536; ++i)
        QThread::usleep(100);
#ifdef Q_OS_UNIX
    if (signal)
        ::kill(pid_t(first.processId()), signal);
    if (pulled)
        QProcess::execute("pkill", {"-KILL", "-P", QString::number(caseTree.keeper.processId()),
                                    "mount.exfat-fus"});
#else
    if (signal == 2)
        pressCtrlC(first);
    else if (signal == 9)
        first.kill();
#endif
    QVERIFY(first.waitForFinished(60000));
    // [again]: the interrupted run is followed by one that is not, which the case is about.
    const bool again = tags.contains(QLatin1String("again"));
    if (again)
        start(second);
    for (QProcess *tool : {&first, &second}) {
        if (tool == &first ? again : !again && !twice)
            continue;
        QVERIFY(tool->state() == QProcess::NotRunning || tool->waitForFinished(60000));
        const QString printed = QString::fromUtf8(tool->readAllStandardOutput());
        QVERIFY2(
            printed.contains(QRegularExpression(linesPattern(output, QString()),
                                                QRegularExpression::DotMatchesEverythingOption)),
            qPrintable(printed));
        const QString reported = tool->processChannelMode() == QProcess::MergedChannels
                                     ? QString()
                                     : QString::fromUtf8(tool->readAllStandardError());
        QVERIFY2(reported.contains(QRegularExpression(failures)), qPrintable(reported));
        QCOMPARE(statusOf(*tool), status             ? status
                                  : signal && !again ? 128 + signal
                                                     : int(!reports.isEmpty()));
    }

    if (pulled)
        return; // nothing of the card can be read any more
    checkTree(root, tree, copies, tracks, card.isEmpty() ? Qt::CaseSensitive : Qt::CaseInsensitive,
              mask);
}

// The fuzz target's corpus, as a test in every build, each input on its own.
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
    const QString failure = checkCopy(readFile(path));
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
