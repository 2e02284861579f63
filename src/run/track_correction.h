// The correction of tracks on disk: what the command line asks of it, and what it tells back.
#pragma once

#include "rule/rollover_date.h"
#include "run/report_queue.h"
#include "stream/read_ahead.h"

#include <QByteArray>
#include <QString>

// The folder beside each input that receives its corrected copy. Walks never enter a folder of
// this name, so copies that earlier runs wrote are not corrected a second time.
constexpr char outputDirName[] = "gpswrok";

// True for a file name whose suffix is "gpx" in any letter case.
bool hasGpxSuffix(const QByteArray &name);

struct Run {
    ReportQueue reports;
    bool dryRun = false;               // decide everything, write nothing
    Today today;                       // read once for the whole run, again only after a midnight
    std::vector<QByteArray> reclaimed; // the output folders whose stale temporaries are gone
    ReadAhead readAhead;               // started by the first track larger than a block
    Run();
};

// A path as reports show it: `name` in the folder shown as `folderPath` ("" for the working
// folder). A folder named with a separator at its end ("D:\\Tracks\\", "sub/") gets no second
// one.
QByteArray joined(const QByteArray &folderPath, const QByteArray &name);

// Where a track is, made once by the walk: the folder it is read from, how that folder is shown,
// and its name there. Its copy's place follows from it.
struct TrackPlace {
    Folder folder;
    QByteArray folderPath;
    QByteArray name;
    QByteArray path() const { return joined(folderPath, name); }
    QByteArray copyPath() const { return joined(joined(folderPath, outputDirName), name); }
};

// Corrects the GPX track at `place` into `output`, its gpswrok folder. A dry run takes the same
// road, into a folder that writes nothing, and tells what a real run would do.
void correctTrack(Run &run, const TrackPlace &place, const OutputFolder &output);

// The order a walk visits a folder's entries in: by name without regard to letter case, as a
// file manager lists a folder; names alike but for case (or for bytes that are no text) by
// their bytes, so that the order is one whatever the listing's.
bool listedBefore(const QByteArray &a, const QByteArray &b);

// One argument: a folder is walked, a GPX file corrected.
void correctPath(Run &run, const QByteArray &path);

// Names every copy still waiting, and tells every report. After an interruption, a second one
// gives up what is not yet named.
void finishRun(Run &run);
