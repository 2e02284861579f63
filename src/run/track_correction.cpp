#include "run/track_correction.h"

#include "run/console.h"
#include "run/interruption.h"
#include "stream/stream_copy.h"

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

void correctTrack(Run &run, const TrackPlace &place, OutputPlace &output)
{
    // Shown from the folder as this track's path shows it, which another path to it may not.
    const QByteArray trackPath = place.path(),
                     copyPath = joined(joined(place.folderPath, outputDirName), place.name);
    if (output.state != OutputPlace::ready) {
        // The folder's failure is told once, at the end, with what it cost.
        ++output.tracksNotCorrected;
        return postReport(run.batch,
                          {ReportKind::trackNotCorrected, trackPath, output.path, {}, {}});
    }
    QString reason;
    Track track = openTrack(place.folder, place.name, reason);
    if (!track)
        return postFailure(run, place.folder,
                           {ReportKind::trackNotOpened, trackPath, {}, reason, {}});
    // A copy's place is given once a run: two folders whose gpswrok is one (through a link) may
    // hold tracks of one name, and the second copy would replace the first in silence.
    const QByteArray earlier = claimCopy(run.outputs, output, place.name, trackPath, *track);
    if (!earlier.isEmpty())
        return postReport(run.batch,
                          {ReportKind::copyTaken, trackPath, copyPath, shownName(earlier), {}});
    CopyStart start = beginCopy(output.output, place.name, *track);
    if (start.outcome == CopyStart::refused)
        return postReport(run.batch, {ReportKind::copyRefused, trackPath, copyPath, {}, {}});
    if (start.outcome == CopyStart::failed)
        return postFailure(run, place.folder,
                           {ReportKind::copyNotWritten, trackPath, copyPath, start.reason, {}});
    Copy copy = std::move(start.copy);
    CopyFile &file = *copy;
    CopyOptions options;
    options.today = &run.today;
    options.readAhead = &run.readAhead;
    options.stop = [] { return interruptingSignal() != 0; };
    options.writtenThrough = [&file](qint64 offset, qint64 length) {
        startWriteBack(file, offset, length);
    };
    TimeStampCount count;
    const CopyResult result =
        copyCorrected(trackDevice(*track), copyDevice(*copy), options, &count);
    if (result.failure == CopyFailure::interrupted)
        return; // the copy is given up; the run ends once the finished ones are named
    if (result.failure != CopyFailure::none)
        return postFailure(run, place.folder, failureOf(result, trackPath, copyPath));
    if (!readWhole(result, *track))
        return postReport(run.batch, {ReportKind::trackChanged, trackPath, {}, {}, {}});
    // The rest of the copy goes to disk while the next ones are made.
    startWriteBack(*copy, 0, 0);
    const qint64 bytes = copyDevice(*copy).pos();
    track.reset();
    const ReportKind made =
        writesNothing(output.output) ? ReportKind::wouldCopy : ReportKind::copied;
    postCopy(run.batch, {made, trackPath, copyPath, {}, count}, std::move(copy), bytes);
}
