#include "run/run.h"

#include "run/interruption.h"
#include "stream/stream_copy.h"

Run::Run() : readAhead(defaultBlockSize)
{
    // A first interruption still names the copies finished; a second gives them up.
    batch.giveUp = [] { return interruptionCount() > 1; };
}

bool goesOn(const Run &run)
{
    return interruptingSignal() == 0 && !run.batch.deviceGone;
}

void postFailure(Run &run, const Folder &where, Report report)
{
    // A pulled card or a driver that died fails every call after: one line says it, not one for
    // each track left. Asked only once something failed.
    if (run.batch.deviceGone)
        return;
    if (formOf(report.kind).channel == Channel::failure && where && deviceGone(where))
        report.kind = ReportKind::deviceGone;
    postReport(run.batch, std::move(report));
}

void finishRun(Run &run)
{
    // Once a run for each folder of tracks, with what it cost: where a gpswrok folder cannot be
    // had, every track beside it goes uncorrected, and the folder's failure is one.
    for (const OutputPlace &place : run.outputs.places) {
        if (place.state == OutputPlace::ready || place.tracksNotCorrected == 0)
            continue;
        const ReportKind kind =
            place.state == OutputPlace::refused        ? ReportKind::outputFolderRefused
            : place.state == OutputPlace::fileInTheWay ? ReportKind::outputFolderIsFile
            : place.state == OutputPlace::linkInTheWay ? ReportKind::outputFolderIsLink
                                                       : ReportKind::outputFolderNotMade;
        Report report{kind, place.path, {}, place.reason, {}};
        report.tracks = place.tracksNotCorrected;
        postReport(run.batch, std::move(report));
    }
    commitBatch(run.batch);
}
