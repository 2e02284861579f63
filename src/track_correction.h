// The correction of tracks on disk: what the command line asks of it, and what it tells back.
#pragma once

#include "copy_batch.h"
#include "rollover_date.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The folder beside each input that receives its corrected copy. Walks never enter a folder of
// this name, so copies that earlier runs wrote are not corrected a second time.
constexpr char outputDirName[] = "gpswrok";

// True for a file name whose suffix is "gpx" in any letter case.
bool hasGpxSuffix(const QByteArray &name);

// One line, without its terminator, as it is to be written: the date of each of its time stamps
// moved forward by rolloverDays when the moved date is not later than `today`.
QString correctTimeLine(const QString &line, const QDate &today);

// What a run tells: failures always, and with `verbose` each copy made and each file named that
// was left alone. Everything is said in the order of the walk.
struct RunOutput {
    std::function<void(const QByteArray &path, const QString &reason)> failure;
    std::function<void(const FinishedCopy &copy)> copied;
    std::function<void(const QByteArray &path)> leftAlone;
    bool verbose = false;
};

struct Run {
    RunOutput output;
    CopyBatch batch;
    LocalToday today; // read once for the whole run, again only after midnight
};

// Reports a failure, once every copy before it has been said.
void reportFailure(Run &run, const QByteArray &path, const QString &reason);

// With -v, says that a file named was left alone, once every copy before it has been said.
void reportLeftAlone(Run &run, const QByteArray &path);

// Corrects the GPX track `name` of `folder` into `output`, its gpswrok folder; the paths are
// how the track and its copy are shown.
void correctTrack(Run &run, const Folder &folder, const Folder &output, const QByteArray &name,
                  const QByteArray &trackPath, const QByteArray &copyPath);

// One argument: a folder is walked, a GPX file corrected.
void correctPath(Run &run, const QByteArray &path);

// Names every copy still waiting, and says how each went.
void finishRun(Run &run);
