// The built tool on real folder trees: what a walk visits, what it writes, what it says.
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

class TestCli : public QObject
{
    Q_OBJECT

  private slots:
    void run_data();
    void run();
    void privateTrackGetsPrivateCopy();
    void fullDiskKeepsEarlierCopy();
    void unreadableEntriesAreReported();
};

namespace
{

const QString oldDate =
    QDate::currentDate().addDays(-7168 - 100).toString(QStringLiteral("yyyy-MM-dd"));
const QString newDate = QDate::currentDate().addDays(-100).toString(QStringLiteral("yyyy-MM-dd"));

QByteArray track(const QString &date)
{
    return QStringLiteral(
               "<gpx>\r\n <trk><trkseg><trkpt lat=\"1\" lon=\"2\">\r\n  <time>%1T01:02:03Z"
               "</time>\r\n</trkpt></trkseg></trk>\r\n</gpx>")
        .arg(date)
        .toUtf8();
}

const QByteArray original = track(oldDate);
const QByteArray corrected = track(newDate).replace("\r", "") + '\n';
const QByteArray earlierCopy("an earlier copy\n");

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Builds a tree in `root` from entries: "dir/" a folder, "name -> target" a symbolic link,
// "name == target" a hard link, "name|" a named pipe, "name~" a file holding earlierCopy,
// "name" a file holding a rolled-over track.
bool makeTree(const QString &root, const QStringList &entries)
{
    QDir dir(root);
    for (const QString &entry : entries) {
        const QString path = dir.filePath(entry.section(' ', 0, 0));
        bool made = dir.mkpath(QFileInfo(path).path());
        if (entry.contains(QStringLiteral(" -> "))) {
            made = made && QFile::link(entry.section(QStringLiteral(" -> "), 1), path);
        } else if (entry.contains(QStringLiteral(" == "))) {
#ifdef Q_OS_UNIX
            const QString target = dir.filePath(entry.section(QStringLiteral(" == "), 1));
            made = made && ::link(QFile::encodeName(target).constData(),
                                  QFile::encodeName(path).constData()) == 0;
#else
            made = false;
#endif
        } else if (entry.endsWith('~')) {
            made = made && writeFile(path.chopped(1), earlierCopy);
        } else if (entry.endsWith('/')) {
            made = made && dir.mkpath(entry);
        } else if (entry.endsWith('|')) {
#ifdef Q_OS_UNIX
            made = made && ::mkfifo(QFile::encodeName(path.chopped(1)).constData(), 0644) == 0;
#else
            made = false;
#endif
        } else {
            made = made && writeFile(path, original);
        }
        if (!made)
            return false;
    }
    return true;
}

// Every file below a folder named gpswrok, without following links.
QStringList copiesIn(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (path.contains(QStringLiteral("gpswrok/")))
            found << path;
    }
    found.sort();
    return found;
}

bool hasGpxName(const QString &path)
{
    return path.endsWith(QLatin1String(".gpx"), Qt::CaseInsensitive);
}

struct Run {
    int exitCode = -1;
    QByteArray out;
    QStringList errorLines;
};

Run runTool(const QString &workDir, const QStringList &args, const QStringList &prefix = {})
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    if (prefix.isEmpty())
        process.start(QStringLiteral(GPX_ROLLOVER_BINARY), args);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList(GPX_ROLLOVER_BINARY) + args);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    run.errorLines = errors.split('\n');
    run.errorLines.removeAll(QString());
    return run;
}

// One pattern for each line on standard error, in order; the exit status follows from them.
void expectReports(const Run &run, const QStringList &patterns)
{
    QCOMPARE(run.errorLines.size(), patterns.size());
    for (int i = 0; i < patterns.size(); ++i)
        QVERIFY2(run.errorLines[i].contains(QRegularExpression(patterns[i])),
                 qPrintable(run.errorLines[i]));
    QCOMPARE(run.exitCode, patterns.isEmpty() ? 0 : 1);
    QCOMPARE(run.out, QByteArray());
}

} // namespace

void TestCli::run_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("copies");   // every file below a gpswrok folder afterwards
    QTest::addColumn<QStringList>("messages"); // a pattern for each line on standard error
    using L = QStringList;

    QTest::newRow("suffix in any letter case")
        << L{"track.GPX", "Track.Gpx", "a.gpx.bak", "gpx", "notes.txt", "gpx.txt"} << L{"."}
        << L{"gpswrok/Track.Gpx", "gpswrok/track.GPX"} << L();
    QTest::newRow("files named directly")
        << L{"a.gpx", "sub/b.gpx", "sub/c.gpx"} << L{"sub/b.gpx", "a.gpx"}
        << L{"gpswrok/a.gpx", "sub/gpswrok/b.gpx"} << L();
    QTest::newRow("a folder with a gpx suffix is walked")
        << L{"rides.gpx/in.gpx"} << L{"rides.gpx"} << L{"rides.gpx/gpswrok/in.gpx"} << L();
    QTest::newRow("only folders named exactly gpswrok are skipped")
        << L{"gpswrok/old.gpx", "GPSWROK/a.gpx", "Gpswrok/b.gpx", "gpswrok2/c.gpx",
             "d/e/gpswrok/f.gpx"}
        << L{"."}
        << L{"GPSWROK/gpswrok/a.gpx", "Gpswrok/gpswrok/b.gpx", "d/e/gpswrok/f.gpx",
             "gpswrok/old.gpx", "gpswrok2/gpswrok/c.gpx"}
        << L();
    QTest::newRow("an output folder named directly is walked")
        << L{"gpswrok/old.gpx"} << L{"gpswrok"} << L{"gpswrok/gpswrok/old.gpx", "gpswrok/old.gpx"}
        << L();
    QTest::newRow("hidden entries are not visited")
        << L{".hidden.gpx", ".dir/x.gpx", "seen.gpx"} << L{"."} << L{"gpswrok/seen.gpx"} << L();
    QTest::newRow("a hidden file named directly")
        << L{".hidden.gpx"} << L{".hidden.gpx"} << L{"gpswrok/.hidden.gpx"} << L();
    QTest::newRow("links back to ancestors")
        << L{"a/b/c.gpx", "a/b/up -> ..", "a/b/top -> ../..", "a/b/self -> .", "a/loop -> ../a"}
        << L{"a"} << L{"a/b/gpswrok/c.gpx"} << L();
    QTest::newRow("a trailing slash")
        << L{"sub/x.gpx"} << L{"sub/"} << L{"sub/gpswrok/x.gpx"} << L();
    QTest::newRow("non-ASCII names")
        << L{QString::fromUtf8("caf\xc3\xa9/\xd0\x96.gpx")} << L{"."}
        << L{QString::fromUtf8("caf\xc3\xa9/gpswrok/\xd0\x96.gpx")} << L();
    QTest::newRow("an earlier copy is replaced, never appended to")
        << L{"a.gpx", "gpswrok/a.gpx~"} << L{"a.gpx", "."} << L{"gpswrok/a.gpx"} << L();
    QTest::newRow("a hard link in the copy's place is replaced by a new file")
        << L{"a.gpx", "gpswrok/a.gpx == a.gpx"} << L{"a.gpx"} << L{"gpswrok/a.gpx"} << L();

    QTest::newRow("no arguments") << L{"a.gpx"} << L() << L() << L();
    QTest::newRow("arguments that name nothing")
        << L{"a.gpx"} << L{"missing.txt", "missing.gpx", "a.gpx"} << L{"gpswrok/a.gpx"}
        << L{"^gpx-rollover: missing.txt: No such file",
             "^gpx-rollover: missing.gpx: No such file"};
    QTest::newRow("a missing track still gets its folder")
        << L{"sub/"} << L{"sub/missing.gpx", "new/missing.gpx"} << L()
        << L{"^gpx-rollover: sub/missing.gpx: No such file",
             "^gpx-rollover: new/missing.gpx: No such file or directory$"};
    QTest::newRow("names that would break the line")
        << L{"in\nside/a.gpx", "in\nside/gpswrok"} << L{".", "new\nline", "\x1b[2J"} << L()
        << L{"^gpx-rollover: \\./in\\?side/a\\.gpx: cannot create the folder "
             "\\./in\\?side/gpswrok$",
             "^gpx-rollover: new\\?line: No such file", "^gpx-rollover: \\?\\[2J: No such file"};
    QTest::newRow("a file named gpswrok in the way")
        << L{"in/a.gpx", "in/gpswrok"} << L{"in"} << L()
        << L{"^gpx-rollover: in/a.gpx: cannot create the folder in/gpswrok$"};
    QTest::newRow("a folder where the copy goes")
        << L{"a.gpx", "gpswrok/a.gpx/"} << L{"a.gpx"} << L()
        << L{"^gpx-rollover: a.gpx: cannot write gpswrok/a.gpx: "};
    QTest::newRow("output folder is a link to its own folder")
        << L{"a.gpx", "gpswrok -> ."} << L{"a.gpx"} << L()
        << L{"^gpx-rollover: a.gpx: refused: .* would replace the file itself$"};
    QTest::newRow("output folder links back through a parent")
        << L{"in/a.gpx", "in/gpswrok -> ../in"} << L{"in/a.gpx"} << L()
        << L{"^gpx-rollover: in/a.gpx: refused: "};
    QTest::newRow("the copy's name is a link to the input")
        << L{"a.gpx", "gpswrok/a.gpx -> ../a.gpx"} << L{"a.gpx"} << L{"gpswrok/a.gpx"}
        << L{"^gpx-rollover: a.gpx: refused: "};
    QTest::newRow("the input is a link to its copy")
        << L{"gpswrok/a.gpx", "a.gpx -> gpswrok/a.gpx"} << L{"a.gpx"} << L{"gpswrok/a.gpx"}
        << L{"^gpx-rollover: a.gpx: refused: "};
    QTest::newRow("a named pipe") << L{"p.gpx|"} << L{"p.gpx"} << L()
                                  << L{"^gpx-rollover: p.gpx: not a regular file$"};
    // Failing copies show the order of the walk: by name without regard to case, a folder's
    // files before the entries that follow it; and arguments in the order given.
    QTest::newRow("visit order")
        << L{"w/c.gpx",          "w/B.gpx",          "w/a.gpx",          "w/Bb/z.gpx",
             "w/gpswrok/a.gpx/", "w/gpswrok/B.gpx/", "w/gpswrok/c.gpx/", "w/Bb/gpswrok/z.gpx/"}
        << L{"w", "w/a.gpx"} << L()
        << L{"^gpx-rollover: w/a.gpx: ", "^gpx-rollover: w/B.gpx: ", "^gpx-rollover: w/Bb/z.gpx: ",
             "^gpx-rollover: w/c.gpx: ", "^gpx-rollover: w/a.gpx: "};
}

void TestCli::run()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, args);
    QFETCH(QStringList, copies);
    QFETCH(QStringList, messages);
    QTemporaryDir root;
    if (!makeTree(root.path(), tree))
        QSKIP("this tree cannot be made here");
    QStringList made; // the paths that the tree's entries make
    for (const QString &entry : tree)
        made << entry.section(' ', 0, 0);
    expectReports(runTool(root.path(), args), messages);
    QCOMPARE(copiesIn(root.path()), copies);
    for (const QString &copy : copies) {
        const QByteArray bytes = readFile(root.filePath(copy));
        QVERIFY2(bytes == corrected || (made.contains(copy) && bytes == original),
                 qPrintable(copy));
    }
    // Each track named, found or not, has its output folder wherever its folder exists.
    for (const QString &arg : args) {
        const QFileInfo named(root.filePath(arg));
        if (hasGpxName(arg) && !named.isDir() && named.dir().exists())
            QVERIFY2(QFileInfo(named.dir(), "gpswrok").isDir(), qPrintable(arg));
    }
    // Whatever went wrong, no input was touched.
    QDirIterator it(root.path(), QStringList{"*.gpx"}, QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(root.path()).relativeFilePath(it.next());
        if (!path.contains(QStringLiteral("gpswrok/")) ||
            (made.contains(path) && !copies.contains(path)))
            QCOMPARE(readFile(root.filePath(path)), original);
    }
}

void TestCli::privateTrackGetsPrivateCopy()
{
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), {"private.gpx", "shared.gpx"}));
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const auto readable = ownerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QFile::setPermissions(root.filePath("private.gpx"), ownerOnly);
    QFile::setPermissions(root.filePath("shared.gpx"), readable);
    expectReports(runTool(root.path(), {"."}, {"sh", "-c", "umask 022 && exec \"$0\" \"$@\""}), {});
    const auto permissions = [&](const char *name) {
        return QFile::permissions(root.filePath(name)) &
               ~(QFileDevice::ReadUser | QFileDevice::WriteUser);
    };
    QCOMPARE(permissions("gpswrok/private.gpx"), ownerOnly);
    QCOMPARE(permissions("gpswrok/shared.gpx"), readable);
}

void TestCli::fullDiskKeepsEarlierCopy()
{
#ifdef Q_OS_LINUX
    QTemporaryDir root;
    const QString disk = root.filePath("disk");
    QVERIFY(QDir(root.path()).mkdir("disk"));
    if (::geteuid() != 0 ||
        QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", disk}) != 0)
        QSKIP("a small file system cannot be mounted here");
    const bool made = makeTree(disk, {"gpswrok/big.gpx~"}) &&
                      writeFile(disk + "/big.gpx", original.repeated(2000));
    const Run run = runTool(disk, {"big.gpx"});
    const QByteArray kept = readFile(disk + "/gpswrok/big.gpx");
    const QStringList left = copiesIn(disk);
    QProcess::execute("umount", {disk});
    QVERIFY(made);
    expectReports(run, {"^gpx-rollover: big.gpx: cannot write.*: No space left on device$"});
    QCOMPARE(kept, earlierCopy);
    QCOMPARE(left, QStringList{"gpswrok/big.gpx"});
#else
    QSKIP("needs a Linux tmpfs");
#endif
}

// Permission bits stop nobody who runs as root, so then the tool runs as an ordinary user.
void TestCli::unreadableEntriesAreReported()
{
#ifdef Q_OS_UNIX
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), {"locked/x.gpx", "secret.gpx", "open.gpx"}));
    QStringList asUser;
    if (::geteuid() == 0) {
        if (QProcess::execute("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                          GPX_ROLLOVER_BINARY}) != 0)
            QSKIP("cannot run as an ordinary user here");
        asUser = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    QFile::setPermissions(root.path(), QFileDevice::Permissions(0x7777));
    QFile::setPermissions(root.filePath("locked"), QFileDevice::Permissions());
    QFile::setPermissions(root.filePath("secret.gpx"), QFileDevice::WriteOwner);
    const Run run = runTool(root.path(), {"."}, asUser);
    QFile::setPermissions(root.filePath("locked"), QFileDevice::Permissions(0x7700));
    expectReports(run, {"^gpx-rollover: \\./locked: cannot read the folder$",
                        "^gpx-rollover: \\./secret\\.gpx: Permission denied$"});
    QCOMPARE(copiesIn(root.path()), QStringList{"gpswrok/open.gpx"});
#else
    QSKIP("permission bits are POSIX");
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
