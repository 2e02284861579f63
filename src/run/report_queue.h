// What a run tells, and the copies waiting for one shared flush, in one queue in the order things
// happened. Making a copy durable before it takes its name costs a journaled disk or a memory
// card a flush, more than all the rest of the copy; so finished copies wait here, unnamed, until
// one flush makes a whole batch of them durable, and are named only then. A report that comes
// after a waiting copy waits behind it, so that the run still tells things in the order they
// happened. This queue is the one thing the handling of two files shares. It is bounded (a few
// dozen copies, a few tens of MB), so that open files and memory stay few whatever the tree, and
// a copy waits for its name no longer than a moment.
#pragma once

#include "fs/file_system.h"
#include "rule/time_stamp_rule.h"

#include <functional>
#include <vector>

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
    trackNotOpened,      // `path`; also an argument that names nothing
    trackNotRead,
    trackChanged,   // `path` changed while it was copied: its copy is not named
    copyNotWritten, // the copy `copyPath` of the track `path`
    copyRefused,    // the copy `copyPath` would replace the track `path` itself
};

// Where a kind of report is told: standard output with -v, standard output always (a dry run's
// words), or standard error as a failure, which makes the run's status 1.
enum class Channel { verbose, output, failure };
struct ReportForm {
    Channel channel;
    // {path}, {copy}, {reason}, {moved} and {seen} stand for the report's own.
    const char *words;
};
const ReportForm &formOf(ReportKind kind);

struct Report {
    ReportKind kind;
    QByteArray path;
    QByteArray copyPath;
    QString reason; // the system's words for a failure
    TimeStampCount count;
};

// The line that tells `report`, its paths shown as shownName shows them.
QString reportText(const Report &report);

struct ReportQueue {
    struct Entry {
        Report report;
        Copy copy; // a finished copy waiting for its flush and its name, or none
    };
    std::vector<Entry> entries;
    std::size_t copies = 0;
    qint64 bytes = 0;
    // Told each report, once everything before it has been told and each copy before it is
    // durable under its name.
    std::function<void(const Report &report)> tell;
    // Asked before each copy is named, by every flush, in the middle of a walk or at its end:
    // when it says so, that copy and everything after it are dropped untold, no copy of theirs
    // left. A flush may take long on a card, and a user who gives up waits no longer.
    std::function<bool()> giveUp;
};

// Tells `report` at once, or after the copies waiting before it.
void postReport(ReportQueue &queue, Report report);

// Adds a finished copy of `bytes` bytes, with the report of its success; a full batch is flushed
// at once. A copy that fails to be made durable or named is told as a failure instead.
void postCopy(ReportQueue &queue, Report report, Copy copy, qint64 bytes);

// Makes every copy waiting durable, names it, and tells every report waiting, in order, unless
// the queue's `giveUp` says otherwise.
void flushReports(ReportQueue &queue);
