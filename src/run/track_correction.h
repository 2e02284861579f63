// One track: its copy made, or why not told.
#pragma once

#include "run/run.h"

#include <QByteArray>

// Where a track is, made once by the walk: the folder it is read from, how that folder is shown,
// and its name there.
struct TrackPlace {
    Folder folder;
    QByteArray folderPath;
    QByteArray name;
    QByteArray path() const { return joined(folderPath, name); }
};

// Corrects the GPX track at `place` into the output folder of its folder, `output`, unless that
// could not be had. A dry run takes the same road, into a folder that writes nothing, and tells
// what a real run would do.
void correctTrack(Run &run, const TrackPlace &place, OutputPlace &output);
