#include "run/arguments.h"

#include "run/console.h"

#include <QCommandLineParser>

#include <algorithm>

const char helpText[] =
    "Usage: gpx-rollover [OPTION]... [PATH]...\n"
    "Correct the time stamps of GPX tracks that lie 1024 weeks (7168 days) in the past, as a\n"
    "GPS receiver writes them once its week counter has rolled over. Each track is copied with\n"
    "the date of every value of the receiver's clock (<time>, <CreationTime>, a lap's\n"
    "<gpxdata:startTime>, a sample's time=\"...\": an element or attribute named time or\n"
    "...Time) moved forward by 7168 days, where the moved date is not later than today\n"
    "anywhere on Earth (the date at UTC+14); the track itself is never changed.\n"
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

Arguments readArguments(const QStringList &arguments, const QList<QByteArray> &nativeArguments)
{
    Arguments given;
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
        given.problem = problem;
        return given;
    }
    given.help = parser.isSet(help);
    given.version = parser.isSet(version);
    given.verbose = parser.isSet(verboseOption);
    given.dryRun = parser.isSet(dryRunOption);

    // Each path as the system gave it: the parser's texts are matched back to the bytes of the
    // arguments, in order, so that a name that is no text in the locale is still reached.
    const QStringList paths = parser.positionalArguments();

    for (int i = 0, next = 0; i < paths.size(); ++i) {
        while (next < arguments.size() - 1 && arguments[next + 1] != paths[i])
            ++next;
        given.paths << nativeArguments.value(next++, paths[i].toUtf8());
    }

    return given;
}
