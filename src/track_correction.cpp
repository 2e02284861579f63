#include "track_correction.h"

#include "interruption.h"
#include "stream_copy.h"

namespace
{

// Says how each copy of a flushed batch went.
CopyOutcome outcomeFor(Run &run)
{
    return [&run](const FinishedCopy &copy, const QString &failure) {
        if (!failure.isEmpty())
            run.output.failure(copy.trackPath, QStringLiteral("cannot write %1: %2")
                                                   .arg(QString::fromUtf8(copy.copyPath), failure));
        else if (run.output.verbose)
            run.output.copied(copy);
    };
}

} // namespace

bool hasGpxSuffix(const QByteArray &name)
{
    return name.size() >= 4 && name.right(4).toLower() == ".gpx";
}

void reportFailure(Run &run, const QByteArray &path, const QString &reason)
{
    // An interrupted run gives up the copies waiting, and the user knows why it stopped.
    if (interruption())
        return;
    flushBatch(run.batch, outcomeFor(run));
    run.output.failure(path, reason);
}

void reportLeftAlone(Run &run, const QByteArray &path)
{
    if (!run.output.verbose || interruption())
        return;
    flushBatch(run.batch, outcomeFor(run));
    run.output.leftAlone(path);
}

void correctTrack(Run &run, const Folder &folder, const Folder &output, const QByteArray &name,
                  const QByteArray &trackPath, const QByteArray &copyPath)
{
    QString reason;
    Track track = openTrack(folder, name, reason);
    if (!track)
        return reportFailure(run, trackPath, reason);
    bool isTrack = false;
    Copy copy = beginCopy(output, name, *track, reason, isTrack);
    if (isTrack)
        return reportFailure(run, trackPath,
                             QStringLiteral("refused: the copy %1 would replace the file itself")
                                 .arg(QString::fromUtf8(copyPath)));
    if (!copy)
        return reportFailure(
            run, trackPath,
            QStringLiteral("cannot write %1: %2").arg(QString::fromUtf8(copyPath), reason));
    CopyOptions options;
    options.today = &run.today;
    CopyFile &file = *copy;
    options.writtenThrough = [&file](qint64 offset, qint64 length) {
        startWriteBack(file, offset, length);
    };
    TimeStampCount count;
    const QString failure = copyCorrected(trackDevice(*track), copyDevice(*copy), options, &count);
    if (!failure.isEmpty())
        return reportFailure(run, trackPath, failure);
    // The rest of the copy goes to disk while the next ones are made.
    startWriteBack(*copy, 0, 0);
    const qint64 bytes = copyDevice(*copy).pos();
    track.reset();
    addToBatch(run.batch, {std::move(copy), trackPath, copyPath, count}, bytes, outcomeFor(run));
}

void finishRun(Run &run)
{
    if (!interruption())
        flushBatch(run.batch, outcomeFor(run));
}
