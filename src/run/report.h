// What a run tells: each kind of report, its words, and where it is told.
#pragma once

#include "rule/time_stamp_rule.h"

#include <QByteArray>
#include <QString>

// What a run tells; formOf gives each its words, where it is told and whether it fails the run.
enum class ReportKind {
    copied,              // a copy made and named
    wouldCopy,           // a dry run's word on a track
    leftAlone,           // a file named that is no GPX file
    temporaryRemoved,    // `path`, a temporary file a run that did not finish left
    temporaryLeftAlone,  // `path`, such a file that may share its clusters with `copyPath`
    temporaryNotRead,    // `path`, such a file that cannot be read whole
    folderNotRead,       // `path`, a folder to walk
    outputFolderNotMade, // `path`, the gpswrok folder
    outputFolderIsFile,  // `path`, the gpswrok folder's name, held by a file
    outputFolderRefused, // `path`, a gpswrok that links to a folder of another name
    outputFolderIsLink,  // `path`, the gpswrok folder's name, held by a link that leads nowhere
    trackNotCorrected,   // `path`, a track whose output folder `copyPath` is not there
    trackNotOpened,      // `path`; also an argument that names nothing
    trackNotRead,
    trackChanged,   // `path` changed while it was copied: its copy is not named
    copyNotWritten, // the copy `copyPath` of the track `path`
    copyRefused,    // the copy `copyPath` would replace the track `path` itself
    copyTaken,      // the copy `copyPath` is that of the track `reason` in this run
    deviceGone,     // `path` failed because its card or disk is gone: the run stops
};

// Where a kind of report is told: standard output with -v, standard output always (a dry run's
// words), or standard error as a failure, which makes the run's status 1.
enum class Channel { verbose, output, failure };
struct ReportForm {
    Channel channel;
    // {path}, {copy}, {reason}, {moved}, {seen} and {tracks} ("2 tracks") stand for the
    // report's own.
    const char *words;
};
const ReportForm &formOf(ReportKind kind);

struct Report {
    ReportKind kind;
    QByteArray path;
    QByteArray copyPath;
    QString reason; // the system's words for a failure
    TimeStampCount count;
    int tracks = 0; // the tracks an output folder's failure cost
};

// The line that tells `report`, its paths shown as shownName shows them.
QString reportText(const Report &report);
