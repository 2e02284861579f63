// The tool on top of its wings: the command line read, then each path in order, a folder walked
// to its end before the next one. Everything the run says is printed here and nowhere else.
#include "run/arguments.h"
#include "run/console.h"
#include "run/interruption.h"
#include "run/run.h"
#include "run/tree_walk.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{

// What a run did, for the line a console window of its own ends with.
struct Summary {
    qint64 copies = 0, moved = 0, failures = 0;
};

// Options, then the paths; the exit status.
int runTool(const QStringList &arguments, const QList<QByteArray> &nativeArguments,
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
    const Arguments given = readArguments(arguments, nativeArguments);
    if (!given.problem.isEmpty()) {
        printLine(stderr,
                  QStringLiteral("gpx-rollover: %1, see 'gpx-rollover --help'").arg(given.problem));
        return 2;
    }
    if (given.help) {
        printOutput(output, QString::fromLatin1(helpText));
        return outputStatus(0);
    }
    if (given.version) {
        printOutput(output, QStringLiteral("gpx-rollover %1 (Qt %2)")
                                .arg(QStringLiteral(GPX_ROLLOVER_VERSION),
                                     QString::fromLatin1(qVersion())));
        return outputStatus(0);
    }

    catchInterruptions();
    const bool verbose = given.verbose;
    Summary summary;
    Run run;
    // A dry run is one whose output folders write nothing.
    run.outputs.writesNothing = given.dryRun;
    run.batch.tell = [&](const Report &report) {
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
    for (const QByteArray &path : given.paths) {
        if (!goesOn(run))
            break;
        correctPath(run, path);
    }
    // Interrupted, the copies finished before are still made durable and named.
    finishRun(run);
    if (const int signal = interruptingSignal())
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
    return runTool(arguments, nativeArguments, output);
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
    return runTool(arguments, nativeArguments, output);
}
#endif
