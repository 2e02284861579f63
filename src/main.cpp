// The command line: its options, then each path in order, a folder walked to its end before
// the next one. Everything the run says is printed here and nowhere else.
#include "run/console.h"
#include "run/interruption.h"
#include "run/track_correction.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

const char helpText[] =
    "Usage: gpx-rollover [OPTION]... [PATH]...\n"
    "Correct the time stamps of GPX tracks that lie 1024 weeks (7168 days) in the past, as a\n"
    "GPS receiver writes them once its week counter has rolled over. Each track is copied with\n"
    "the date of every <time> and <CreationTime> (with a namespace prefix or without) moved\n"
    "forward by 7168 days, where the moved date is not later than today anywhere on Earth\n"
    "(the date at UTC+14); the track itself is never changed.\n"
    "\n"
    "The copy of DIR/NAME.gpx goes to DIR/gpswrok/NAME.gpx. A folder is walked with all its\n"
    "subfolders, passing over hidden entries and gpswrok folders. With no PATH, nothing is\n"
    "done.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "  -v, --verbose  name each copy made, with how many of its time stamps were moved,\n"
    "                 and each file named that is no GPX file\n"
    "  -n, --dry-run  write nothing; say for each track how many of its time stamps\n"
    "                 a real run would move\n"
    "  --             take every argument after it as a path\n"
    "\n"
    "Exit status: 0 when all went well, 1 when a file or folder could not be handled,\n"
    "2 when the command line is wrong.\n"
    "\n"
    "See gpx-rollover(1).";

// What a run did, for the line a console window of its own ends with.
struct Summary {
    qint64 copies = 0, moved = 0, failures = 0;
};

// Options, then the paths; the exit status.
int run(const QStringList &arguments, const QList<QByteArray> &nativeArguments,
        StandardOutput output)
{
    // What standard output could not take is a failure too, said once; a closed pipe is an
    // interruption, and ends the run by SIGPIPE, as it ends any filter.
    const auto outputStatus = [&output](int status) {
        if (output.error == 0)
            return status;
        printLine(stderr, QStringLiteral("gpx-rollover: write error: ") +
                              QString::fromLocal8Bit(std::strerror(output.error)));
        return std::max(status, 1);
    };
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    const QCommandLineOption help({"h", "help"}, "show this help and exit");
    const QCommandLineOption version("version", "show the version and exit");
    const QCommandLineOption verboseOption({"v", "verbose"}, "name each copy made");
    const QCommandLineOption dryRunOption({"n", "dry-run"}, "write nothing");
    parser.addOptions({help, version, verboseOption, dryRunOption});
    parser.addPositionalArgument("PATH", "a GPX file or a folder", "[PATH...]");
    if (!parser.parse(arguments)) {
        // Said in the tool's own words, each option as it was written: "--x" or the "-x" of
        // "-vx". Qt's parser knows no other failure with these options than a value given to
        // one that takes none ("--verbose=1").
        const QString option = parser.unknownOptionNames().value(0);
        const QString error = parser.errorText();
        const int quoted = error.indexOf(QLatin1Char('\''));
        QString problem;
        if (!option.isEmpty()) {
            const bool isLong =
                std::any_of(arguments.begin() + 1, arguments.end(), [&](const QString &argument) {
                    return argument == "--" + option || argument.startsWith("--" + option + '=');
                });
            problem =
                QStringLiteral("%1%2: unknown option")
                    .arg(isLong || option.size() > 1 ? "--" : "-", shownName(option.toUtf8()));
        } else if (quoted >= 0) {
            problem =
                QStringLiteral("%1: takes no value")
                    .arg(error.mid(quoted + 1, error.lastIndexOf(QLatin1Char('\'')) - quoted - 1));
        } else {
            problem = error;
        }
        printLine(stderr,
                  QStringLiteral("gpx-rollover: %1, see 'gpx-rollover --help'").arg(problem));
        return 2;
    }
    if (parser.isSet(help)) {
        printOutput(output, QString::fromLatin1(helpText));
        return outputStatus(0);
    }
    if (parser.isSet(version)) {
        printOutput(output, QStringLiteral("gpx-rollover %1 (Qt %2)")
                                .arg(QStringLiteral(GPX_ROLLOVER_VERSION),
                                     QString::fromLatin1(qVersion())));
        return outputStatus(0);
    }

    // Each path as the system gave it: the parser's texts are matched back to the bytes of the
    // arguments, in order, so that a name that is no text in the locale is still reached.
    const QStringList paths = parser.positionalArguments();
    QList<QByteArray> nativePaths;
    for (int i = 0, next = 0; i < paths.size(); ++i) {
        while (next < arguments.size() - 1 && arguments[next + 1] != paths[i])
            ++next;
        nativePaths << nativeArguments.value(next++, paths[i].toUtf8());
    }

    catchInterruptions();
    const bool verbose = parser.isSet(verboseOption);
    Summary summary;
    Run correction;
    correction.dryRun = parser.isSet(dryRunOption);
    correction.reports.tell = [&](const Report &report) {
        const Channel channel = formOf(report.kind).channel;
        if (channel == Channel::failure) {
            ++summary.failures;
            printLine(stderr, QStringLiteral("gpx-rollover: ") + reportText(report));
            return;
        }
        if (report.kind == ReportKind::copied) {
            ++summary.copies;
            summary.moved += report.count.moved;
        }
        if (channel == Channel::output || verbose)
            printOutput(output, reportText(report));
    };
    for (const QByteArray &path : nativePaths) {
        if (interruption())
            break;
        correctPath(correction, path);
    }
    // Interrupted, the copies finished before are still made durable and named.
    finishRun(correction);
    if (const int signal = interruption())
        endByInterruption(signal);
    const int status = outputStatus(summary.failures > 0 ? 1 : 0);
    // A window that opened for this run alone closes with it: say what happened, and wait.
    if (consoleIsOwn()) {
        const auto counted = [](qint64 n, const char *one, const char *many) {
            return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
        };
        printLine(stdout, QStringLiteral("gpx-rollover: %1 copied, %2 moved, %3")
                              .arg(counted(summary.copies, "track", "tracks"),
                                   counted(summary.moved, "time stamp", "time stamps"),
                                   counted(summary.failures, "failure", "failures")));
        waitForEnter();
    }
    return status;
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
    QStringList arguments{QStringLiteral("gpx-rollover")};
    QList<QByteArray> nativeArguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromWCharArray(argv[i]);
        nativeArguments << arguments.last().toUtf8();
    }
    char name[] = "gpx-rollover";
    char *qtArgv[] = {name, nullptr};
    int qtArgc = 1; // Qt has no options of its own to take from us
    const StandardOutput output = guardStandardStreams();
    QCoreApplication app(qtArgc, qtArgv);
    return run(arguments, nativeArguments, output);
}
#else
int main(int argc, char *argv[])
{
    // Before the application object, which opens descriptors of its own.
    const StandardOutput output = guardStandardStreams();
    QCoreApplication app(argc, argv);
    QStringList arguments{QStringLiteral("gpx-rollover")};
    QList<QByteArray> nativeArguments;
    for (int i = 1; i < argc; ++i) {
        nativeArguments << QByteArray(argv[i]);
        arguments << QFile::decodeName(argv[i]);
    }
    return run(arguments, nativeArguments, output);
}
#endif
