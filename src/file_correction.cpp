#include "stream_copy.h"
#include "track_correction.h"
#include "write_behind.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

bool hasGpxSuffix(const QFileInfo &fi)
{
    return fi.suffix().compare(QLatin1String("gpx"), Qt::CaseInsensitive) == 0;
}

QString correctFile(QFileInfo fi)
{
    if (!hasGpxSuffix(fi))
        return QString();

    const QString outName = QString::fromUtf8(outputDirName);
    const QDir parent(fi.path());
    QDir outDir(parent);
    if (!outDir.cd(outName)) {
        parent.mkdir(outName);
        if (!outDir.cd(outName)) {
            if (!parent.exists()) // the track's own folder is missing: say so, not the symptom
                return QStringLiteral("No such file or directory");
            return QStringLiteral("cannot create the folder %1").arg(parent.filePath(outName));
        }
    }

    // Opening a pipe or a device would wait for a writer, or never end.
    if (fi.exists() && !fi.isFile())
        return QStringLiteral("not a regular file");
    QFile input(fi.filePath());
    if (!input.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return input.errorString();

    // When the output folder leads back to the input's own folder, or the output name is a
    // link to the input, putting the copy in place would replace the input itself.
    const QFileInfo outFi(outDir, fi.fileName());
    const bool firstCopy = !outFi.exists();
    if (!firstCopy && outFi.canonicalFilePath() == QFileInfo(input.fileName()).canonicalFilePath())
        return QStringLiteral("refused: the copy %1 would replace the file itself")
            .arg(outFi.filePath());

    // The copy goes to a temporary file that takes the name only once it is whole, so a failed
    // run never leaves half a copy, nor spoils the copy an earlier run made.
    QSaveFile output(outFi.filePath());
    if (!output.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return QStringLiteral("cannot write %1: %2").arg(outFi.filePath(), output.errorString());
    // As cp does, a new copy is no more open to others than its track: a private track stays
    // private. An earlier copy keeps the permissions it was given.
    if (firstCopy)
        output.setPermissions(output.permissions() & fi.permissions());
    CopyOptions options;
    options.writtenThrough = [&output](qint64 offset, qint64 length) {
        startWriteBack(output, offset, length);
    };
    const QString failure = copyCorrected(input, output, options);
    if (!failure.isEmpty()) {
        output.cancelWriting();
        return failure;
    }
    if (!output.commit())
        return QStringLiteral("cannot write %1: %2").arg(outFi.filePath(), output.errorString());
    return QString();
}
