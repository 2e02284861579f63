// The command line: each argument in order, a folder walked to its end before the next one.
// Failures are printed here and nowhere else, one line each, and decide the exit status.
#include "interruption.h"
#include "track_correction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace
{

using Report = std::function<void(const QString &path, const QString &reason)>;

bool isWalkExcluded(const QString &entryPath)
{
    return entryPath.endsWith(QLatin1String("/.")) || entryPath.endsWith(QLatin1String("/..")) ||
           entryPath.endsWith(QLatin1Char('/') + QString::fromUtf8(outputDirName));
}

// `walking` holds the canonical paths of the folders this walk is inside, so that a link back
// to one of them is not followed round and round.
void walkDirectory(QDir dir, const QStringList &walking, const Report &report)
{
    const QFileInfoList entries = dir.entryInfoList();
    // A folder that can be read lists at least "." and "..".
    if (entries.isEmpty()) {
        report(dir.path(), QStringLiteral("cannot read the folder"));
        return;
    }
    QStringList inside = walking;
    inside << dir.canonicalPath();
    for (const QFileInfo &entry : entries) {
        if (interruption())
            return;
        if (entry.isDir()) {
            if (isWalkExcluded(entry.filePath()) || inside.contains(entry.canonicalFilePath()))
                continue;
            walkDirectory(QDir(entry.filePath()), inside, report);
        } else {
            const QString failure = correctFile(entry);
            if (!failure.isEmpty())
                report(entry.filePath(), failure);
        }
    }
}

// A file name may hold a line feed or a terminal's escape codes; a report stays one line.
QByteArray printable(const QString &text)
{
    QString shown = text;
    for (QChar &c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return QFile::encodeName(shown);
}

// Every argument in order; the exit status.
int correctAll(const QStringList &arguments)
{
    catchInterruptions();
    bool failed = false;
    const Report report = [&failed](const QString &path, const QString &reason) {
        if (interruption())
            return; // the copy given up on the way out: the user stopped the run, and knows
        failed = true;
        std::fprintf(stderr, "gpx-rollover: %s: %s\n", printable(path).constData(),
                     printable(reason).constData());
    };
    for (const QString &arg : arguments) {
        if (interruption())
            break;
        const QFileInfo fi(arg);
        if (fi.isDir()) {
            walkDirectory(QDir(arg), QStringList(), report);
        } else if (!fi.exists() && !hasGpxSuffix(fi)) {
            report(arg, QStringLiteral("No such file or directory"));
        } else {
            const QString failure = correctFile(fi);
            if (!failure.isEmpty())
                report(arg, failure);
        }
    }
    if (const int signal = interruption())
        endByInterruption(signal);
    return failed ? 1 : 0;
}

} // namespace

// The two systems differ only in how the arguments arrive.
#ifdef Q_OS_WIN
// Windows shells pass wildcards through: the C runtime expands them before wmain, in the wide
// command line, when the program asks for it (mingw-w64: this flag; MSVC: wsetargv.obj, which
// CMake links). A wide main sees every name in full, where argv holds only what the ANSI code
// page can say.
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromWCharArray(argv[i]);
    char name[] = "gpx-rollover";
    char *qtArgv[] = {name, nullptr};
    int qtArgc = 1; // Qt has no options of its own to take from us
    QCoreApplication app(qtArgc, qtArgv);
    return correctAll(arguments);
}
#else
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments;
    // The file system's own decoding, so that a name finds its way back to the same file.
    for (int i = 1; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    return correctAll(arguments);
}
#endif
