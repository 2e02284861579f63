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
    void walk_data();
    void walk();
    void failures_data();
    void failures();
    void hardLinkedCopyIsReplaced();
    void earlierCopyIsOverwritten();
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
// "name|" a named pipe, "name" a file holding a rolled-over track.
bool makeTree(const QString &root, const QStringList &entries)
{
    QDir dir(root);
    for (const QString &entry : entries) {
        const QString path = dir.filePath(entry.section(QStringLiteral(" -> "), 0, 0));
        bool made = dir.mkpath(QFileInfo(path).path());
        if (entry.contains(QStringLiteral(" -> "))) {
            made = made && QFile::link(entry.section(QStringLiteral(" -> "), 1), path);
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

} // namespace

void TestCli::walk_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("copies");

    QTest::newRow("suffix in any letter case")
        << QStringList{"track.GPX", "Track.Gpx", "a.gpx.bak", "gpx", "notes.txt", "gpx.txt"}
        << QStringList{"."} << QStringList{"gpswrok/Track.Gpx", "gpswrok/track.GPX"};
    QTest::newRow("files named directly")
        << QStringList{"a.gpx", "sub/b.gpx", "sub/c.gpx"} << QStringList{"sub/b.gpx", "a.gpx"}
        << QStringList{"gpswrok/a.gpx", "sub/gpswrok/b.gpx"};
    QTest::newRow("a folder with a gpx suffix is walked")
        << QStringList{"rides.gpx/in.gpx"} << QStringList{"rides.gpx"}
        << QStringList{"rides.gpx/gpswrok/in.gpx"};
    QTest::newRow("only folders named exactly gpswrok are skipped")
        << QStringList{"gpswrok/old.gpx", "GPSWROK/a.gpx", "Gpswrok/b.gpx", "gpswrok2/c.gpx",
                       "deep/er/gpswrok/d.gpx"}
        << QStringList{"."}
        << QStringList{"GPSWROK/gpswrok/a.gpx", "Gpswrok/gpswrok/b.gpx", "deep/er/gpswrok/d.gpx",
                       "gpswrok/old.gpx", "gpswrok2/gpswrok/c.gpx"};
    QTest::newRow("an output folder named directly is walked")
        << QStringList{"gpswrok/old.gpx"} << QStringList{"gpswrok"}
        << QStringList{"gpswrok/gpswrok/old.gpx", "gpswrok/old.gpx"};
    QTest::newRow("hidden entries are not visited")
        << QStringList{".hidden.gpx", ".dir/x.gpx", "seen.gpx"} << QStringList{"."}
        << QStringList{"gpswrok/seen.gpx"};
    QTest::newRow("a hidden file named directly")
        << QStringList{".hidden.gpx"} << QStringList{".hidden.gpx"}
        << QStringList{"gpswrok/.hidden.gpx"};
    QTest::newRow("links back to ancestors")
        << QStringList{"a/b/c.gpx", "a/b/up -> ..", "a/b/top -> ../..", "a/b/self -> .",
                       "a/loop -> ../a"}
        << QStringList{"a"} << QStringList{"a/b/gpswrok/c.gpx"};
    QTest::newRow("a trailing slash")
        << QStringList{"sub/x.gpx"} << QStringList{"sub/"} << QStringList{"sub/gpswrok/x.gpx"};
    QTest::newRow("non-ASCII names")
        << QStringList{QString::fromUtf8("caf\xc3\xa9/\xd0\x96.gpx")} << QStringList{"."}
        << QStringList{QString::fromUtf8("caf\xc3\xa9/gpswrok/\xd0\x96.gpx")};
}

void TestCli::walk()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, args);
    QFETCH(QStringList, copies);
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), tree));
    const Run run = runTool(root.path(), args);
    QCOMPARE(run.errorLines, QStringList());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(copiesIn(root.path()), copies);
    for (const QString &copy : copies) {
        const bool madeHere = !tree.contains(copy);
        QCOMPARE(readFile(root.filePath(copy)), madeHere ? corrected : original);
    }
}

void TestCli::failures_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("messages"); // a pattern for each line, in order
    QTest::addColumn<QStringList>("copies");

    QTest::newRow("no arguments") << QStringList{"a.gpx"} << QStringList() << QStringList()
                                  << QStringList();
    QTest::newRow("arguments that name nothing")
        << QStringList{"a.gpx"} << QStringList{"missing.txt", "missing.gpx", "a.gpx"}
        << QStringList{"^gpx-rollover: missing.txt: No such file",
                       "^gpx-rollover: missing.gpx: No such file"}
        << QStringList{"gpswrok/a.gpx"};
    QTest::newRow("names that would break the line")
        << QStringList{"in\nside/a.gpx", "in\nside/gpswrok"}
        << QStringList{".", "new\nline", "\x1b[2J"}
        << QStringList{"^gpx-rollover: \\./in\\?side/a\\.gpx: cannot create the folder "
                       "\\./in\\?side/gpswrok$",
                       "^gpx-rollover: new\\?line: No such file",
                       "^gpx-rollover: \\?\\[2J: No such file"}
        << QStringList();
    QTest::newRow("a missing track still gets its folder")
        << QStringList{"sub/"} << QStringList{"sub/missing.gpx", "new/missing.gpx"}
        << QStringList{"^gpx-rollover: sub/missing.gpx: No such file",
                       "^gpx-rollover: new/missing.gpx: No such file or directory$"}
        << QStringList();
    QTest::newRow("a file named gpswrok in the way")
        << QStringList{"in/a.gpx", "in/gpswrok"} << QStringList{"in"}
        << QStringList{"^gpx-rollover: in/a.gpx: cannot create the folder in/gpswrok$"}
        << QStringList();
    QTest::newRow("a folder where the copy goes")
        << QStringList{"a.gpx", "gpswrok/a.gpx/"} << QStringList{"a.gpx"}
        << QStringList{"^gpx-rollover: a.gpx: cannot write gpswrok/a.gpx: "} << QStringList();
    QTest::newRow("output folder is a link to its own folder")
        << QStringList{"a.gpx", "gpswrok -> ."} << QStringList{"a.gpx"}
        << QStringList{"^gpx-rollover: a.gpx: refused: .* would replace the file itself$"}
        << QStringList();
    QTest::newRow("output folder links back through a parent")
        << QStringList{"in/a.gpx", "in/gpswrok -> ../in"} << QStringList{"in/a.gpx"}
        << QStringList{"^gpx-rollover: in/a.gpx: refused: "} << QStringList();
    QTest::newRow("the copy's name is a link to the input")
        << QStringList{"a.gpx", "gpswrok/a.gpx -> ../a.gpx"} << QStringList{"a.gpx"}
        << QStringList{"^gpx-rollover: a.gpx: refused: "} << QStringList{"gpswrok/a.gpx"};
    QTest::newRow("the input is a link to its copy")
        << QStringList{"gpswrok/a.gpx", "a.gpx -> gpswrok/a.gpx"} << QStringList{"a.gpx"}
        << QStringList{"^gpx-rollover: a.gpx: refused: "} << QStringList{"gpswrok/a.gpx"};
    QTest::newRow("a named pipe") << QStringList{"p.gpx|"} << QStringList{"p.gpx"}
                                  << QStringList{"^gpx-rollover: p.gpx: not a regular file$"}
                                  << QStringList();
    // Failing copies show the order of the walk: by name without regard to case, a folder's
    // files before the entries that follow it; and arguments in the order given.
    QTest::newRow("visit order")
        << QStringList{"w/c.gpx",          "w/B.gpx",
                       "w/a.gpx",          "w/Bb/z.gpx",
                       "w/gpswrok/a.gpx/", "w/gpswrok/B.gpx/",
                       "w/gpswrok/c.gpx/", "w/Bb/gpswrok/z.gpx/"}
        << QStringList{"w", "w/a.gpx"}
        << QStringList{"^gpx-rollover: w/a.gpx: ", "^gpx-rollover: w/B.gpx: ",
                       "^gpx-rollover: w/Bb/z.gpx: ", "^gpx-rollover: w/c.gpx: ",
                       "^gpx-rollover: w/a.gpx: "}
        << QStringList();
}

void TestCli::failures()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, args);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, copies);
    QTemporaryDir root;
    if (!makeTree(root.path(), tree))
        QSKIP("this tree cannot be made here");
    const Run run = runTool(root.path(), args);
    QCOMPARE(run.errorLines.size(), messages.size());
    for (int i = 0; i < messages.size(); ++i)
        QVERIFY2(run.errorLines[i].contains(QRegularExpression(messages[i])),
                 qPrintable(run.errorLines[i]));
    QCOMPARE(run.exitCode, messages.isEmpty() ? 0 : 1);
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(copiesIn(root.path()), copies);
    // Each track named, found or not, has its output folder wherever its folder exists.
    for (const QString &arg : args) {
        const QFileInfo named(root.filePath(arg));
        if (hasGpxName(arg) && named.dir().exists() && !named.isSymLink())
            QVERIFY2(QFileInfo(named.dir(), "gpswrok").isDir(), qPrintable(arg));
    }
    // Whatever went wrong, no input was touched.
    QDirIterator it(root.path(), QStringList{"*.gpx"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.contains(QStringLiteral("gpswrok/")) ||
            tree.contains(QDir(root.path()).relativeFilePath(path)))
            QCOMPARE(readFile(path), original);
    }
}

// A hard link in the copy's place is replaced by a new file; the input keeps its bytes.
void TestCli::hardLinkedCopyIsReplaced()
{
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), {"a.gpx", "gpswrok/"}));
#ifdef Q_OS_UNIX
    QCOMPARE(::link(QFile::encodeName(root.filePath("a.gpx")).constData(),
                    QFile::encodeName(root.filePath("gpswrok/a.gpx")).constData()),
             0);
#else
    QSKIP("hard links are made with POSIX here");
#endif
    const Run run = runTool(root.path(), {"a.gpx"});
    QCOMPARE(run.errorLines, QStringList());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(root.filePath("a.gpx")), original);
    QCOMPARE(readFile(root.filePath("gpswrok/a.gpx")), corrected);
}

void TestCli::earlierCopyIsOverwritten()
{
    QTemporaryDir root;
    QVERIFY(makeTree(root.path(), {"a.gpx", "gpswrok/"}));
    QVERIFY(writeFile(root.filePath("gpswrok/a.gpx"), QByteArray(100000, 'x')));
    const Run run = runTool(root.path(), {"a.gpx", "."});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(root.filePath("gpswrok/a.gpx")), corrected);
    QCOMPARE(copiesIn(root.path()), QStringList{"gpswrok/a.gpx"});
}

// A copy that does not fit leaves the earlier copy as it was, and no half-written file.
void TestCli::fullDiskKeepsEarlierCopy()
{
#ifdef Q_OS_LINUX
    QTemporaryDir root;
    const QString disk = root.filePath("disk");
    QVERIFY(QDir(root.path()).mkdir("disk"));
    if (::geteuid() != 0 ||
        QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", disk}) != 0)
        QSKIP("a small file system cannot be mounted here");
    const QByteArray earlier("an earlier copy\n");
    const bool made = makeTree(disk, {"gpswrok/"}) &&
                      writeFile(disk + "/big.gpx", original.repeated(2000)) &&
                      writeFile(disk + "/gpswrok/big.gpx", earlier);
    const Run run = runTool(disk, {"big.gpx"});
    const QByteArray kept = readFile(disk + "/gpswrok/big.gpx");
    const QStringList left = copiesIn(disk);
    QProcess::execute("umount", {disk});
    QVERIFY(made);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.errorLines.size(), 1);
    QVERIFY2(run.errorLines[0].startsWith("gpx-rollover: big.gpx: cannot write"),
             qPrintable(run.errorLines[0]));
    QCOMPARE(kept, earlier);
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
    QCOMPARE(run.errorLines.size(), 2);
    QVERIFY2(run.errorLines[0].startsWith("gpx-rollover: ./locked: cannot read the folder"),
             qPrintable(run.errorLines[0]));
    QVERIFY2(run.errorLines[1].startsWith("gpx-rollover: ./secret.gpx: Permission denied"),
             qPrintable(run.errorLines[1]));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(copiesIn(root.path()), QStringList{"gpswrok/open.gpx"});
#else
    QSKIP("permission bits are POSIX");
#endif
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
