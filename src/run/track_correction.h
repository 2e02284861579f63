// The correction of tracks on disk: what the command line asks of it, and what it tells back.
#pragma once

#include "stream/read_ahead.h"
#include "run/report_queue.h"
#include "rule/rollover_date.h"

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

// Corrects the GPX track `name` of `folder` into `output`, its gpswrok folder; the paths are how
// the track and its copy are shown. A dry run takes the same road, into a folder that writes
// nothing, and tells what a real run would do.
void correctTrack(Run &run, const Folder &folder, const OutputFolder &output,
                  const QByteArray &name, const QByteArray &trackPath, const QByteArray &copyPath);

// One argument: a folder is walked, a GPX file corrected.
void correctPath(Run &run, const QByteArray &path);

// Names every copy still waiting, and tells every report. After an interruption, a second one
// gives up what is not yet named.
void finishRun(Run &run);
