#include "track_correction.h"

#include "interruption.h"
#include "stream_copy.h"

bool hasGpxSuffix(const QByteArray &name)
{
    return name.size() >= 4 && name.right(4).toLower() == ".gpx";
}

void correctTrack(Run &run, const Folder &folder, const Folder &output, const QByteArray &name,
                  const QByteArray &trackPath, const QByteArray &copyPath)
{
    QString reason;
    Track track = openTrack(folder, name, reason);
    if (!track)
        return postReport(run.reports, {ReportKind::trackNotOpened, trackPath, {}, reason, {}});
    bool isTrack = false;
    Copy copy = beginCopy(output, name, *track, reason, isTrack);
    if (isTrack)
        return postReport(run.reports, {ReportKind::copyRefused, trackPath, copyPath, {}, {}});
    if (!copy)
        return postReport(run.reports,
                          {ReportKind::copyNotWritten, trackPath, copyPath, reason, {}});
    CopyOptions options;
    options.today = &run.today;
    CopyFile &file = *copy;
    options.writtenThrough = [&file](qint64 offset, qint64 length) {
        startWriteBack(file, offset, length);
    };
    TimeStampCount count;
    const CopyResult result =
        copyCorrected(trackDevice(*track), copyDevice(*copy), options, &count);
    switch (result.failure) {
    case CopyFailure::none:
        break;
    case CopyFailure::interrupted:
        return; // the copy is given up; the run ends once the finished ones are named
    case CopyFailure::cannotRead:
        return postReport(run.reports,
                          {ReportKind::trackNotRead, trackPath, {}, result.reason, {}});
    case CopyFailure::cannotWrite:
        return postReport(run.reports,
                          {ReportKind::copyNotWritten, trackPath, copyPath, result.reason, {}});
    }
    // The rest of the copy goes to disk while the next ones are made.
    startWriteBack(*copy, 0, 0);
    const qint64 bytes = copyDevice(*copy).pos();
    track.reset();
    postCopy(run.reports, {ReportKind::copied, trackPath, copyPath, {}, count}, std::move(copy),
             bytes);
}

void finishRun(Run &run)
{
    flushReports(run.reports, [] { return interruptions() > 1; });
}
