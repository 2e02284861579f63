#include "run/track_correction.h"

#include "run/interruption.h"
#include "stream/stream_copy.h"

Run::Run() : readAhead(defaultBlockSize)
{
    // A first interruption still names the copies finished; a second gives them up.
    reports.giveUp = [] { return interruptions() > 1; };
}

QByteArray joined(const QByteArray &folderPath, const QByteArray &name)
{
    if (folderPath.isEmpty() || lastSeparator(folderPath) == folderPath.size() - 1)
        return folderPath + name;
    return folderPath + '/' + name;
}

bool hasGpxSuffix(const QByteArray &name)
{
    return name.size() >= 4 && name.right(4).toLower() == ".gpx";
}

namespace
{

// What a copy's failure is told as.
Report failureOf(const CopyResult &result, const QByteArray &trackPath, const QByteArray &copyPath)
{
    if (result.failure == CopyFailure::cannotRead)
        return {ReportKind::trackNotRead, trackPath, {}, result.reason, {}};
    return {ReportKind::copyNotWritten, trackPath, copyPath, result.reason, {}};
}

// A copy read whole from a track that stayed as it was: it ended where the track's size said, and
// neither its size nor its time of change moved meanwhile (a sync program or an editor
// rewriting it). Else the copy may hold parts of two versions, or be cut in the middle.
bool readWhole(const CopyResult &result, const TrackFile &track)
{
    return result.bytesRead == trackSize(track) && !trackChanged(track);
}

} // namespace

void correctTrack(Run &run, const TrackPlace &place, const OutputFolder &output)
{
    const QByteArray trackPath = place.path(), copyPath = place.copyPath();
    QString reason;
    Track track = openTrack(place.folder, place.name, reason);
    if (!track)
        return postReport(run.reports, {ReportKind::trackNotOpened, trackPath, {}, reason, {}});
    CopyStart start = beginCopy(output, place.name, *track);
    if (start.outcome == CopyStart::refused)
        return postReport(run.reports, {ReportKind::copyRefused, trackPath, copyPath, {}, {}});
    if (start.outcome == CopyStart::failed)
        return postReport(run.reports,
                          {ReportKind::copyNotWritten, trackPath, copyPath, start.reason, {}});
    Copy copy = std::move(start.copy);
    CopyFile &file = *copy;
    CopyOptions options;
    options.today = &run.today;
    options.readAhead = &run.readAhead;
    options.stop = [] { return interruption() != 0; };
    options.writtenThrough = [&file](qint64 offset, qint64 length) {
        startWriteBack(file, offset, length);
    };
    TimeStampCount count;
    const CopyResult result =
        copyCorrected(trackDevice(*track), copyDevice(*copy), options, &count);
    if (result.failure == CopyFailure::interrupted)
        return; // the copy is given up; the run ends once the finished ones are named
    if (result.failure != CopyFailure::none)
        return postReport(run.reports, failureOf(result, trackPath, copyPath));
    if (!readWhole(result, *track))
        return postReport(run.reports, {ReportKind::trackChanged, trackPath, {}, {}, {}});
    // The rest of the copy goes to disk while the next ones are made.
    startWriteBack(*copy, 0, 0);
    const qint64 bytes = copyDevice(*copy).pos();
    track.reset();
    const ReportKind made = run.dryRun ? ReportKind::wouldCopy : ReportKind::copied;
    postCopy(run.reports, {made, trackPath, copyPath, {}, count}, std::move(copy), bytes);
}

void finishRun(Run &run)
{
    flushReports(run.reports);
}
