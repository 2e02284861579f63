// The run's one record of output folders: for each folder of tracks, the folder beside it that
// receives its copies, found, made, refused or failed, asked for once a run; each output folder's
// identity, so that no walk enters one by whatever name or link leads there; and the place of
// each copy given, so that no two tracks of a run write one copy.
#pragma once

#include "fs/file_system.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <deque>
#include <vector>

// The name of the folder beside a folder of tracks that receives their corrected copies.
// Walks never enter it, so copies that earlier runs wrote are not corrected a second time.
constexpr char outputDirName[] = "gpswrok";

// A folder of tracks' output folder, as the run found it the first time it asked.
struct OutputPlace {
    enum State {
        ready,        // found or made (in a dry run, found or one a real run could make)
        refused,      // a link to a folder not named gpswrok: copies there could replace tracks
        fileInTheWay, // a file holds the name
        linkInTheWay, // a link to nothing holds the name
        notMade,      // the system's `reason`
    };
    QByteArray folderIdentity; // of the folder of tracks
    QByteArray path;           // the output folder, as reports show it
    State state = notMade;
    QString reason;
    OutputFolder output; // when ready
    // Of the output folder itself; for one a dry run found missing, its path.
    QByteArray identity;
    // What a run that did not finish left there, found when the run first opened it: the caller
    // tells it, once.
    std::vector<Reclaimed> reclaimed;
    int tracksNotCorrected = 0; // where it is not ready
};

struct OutputFolders {
    bool writesNothing = false;             // a dry run's: every output folder writes nothing
    std::deque<OutputPlace> places;         // each stays where it is while more are added
    QHash<QByteArray, std::size_t> placeOf; // a folder of tracks' identity: its place
    QSet<QByteArray> outputs;               // the identities of the output folders ready
    // An output folder's identity, NUL, a copy's name: the identity of the track it was given
    // to, NUL, its path.
    QHash<QByteArray, QByteArray> givenCopies;
};

// The output folder of `folder`, shown as `folderPath`: looked for, and made where it is
// missing, the first time a run asks; the same record every time after.
OutputPlace &outputPlaceOf(OutputFolders &outputs, const Folder &folder,
                           const QByteArray &folderPath);

// `folder`, of that identity, receives copies: an output folder this run opened, or the gpswrok
// folder of its own parent, which an earlier run made.
bool isOutputFolder(const OutputFolders &outputs, const Folder &folder, const QByteArray &identity);

// Gives the copy `name` in `place` to the track `trackPath`, `track`. Where another track of
// this run has it already, gives nothing and returns that track's path; the same track named
// twice has it again.
QByteArray claimCopy(OutputFolders &outputs, const OutputPlace &place, const QByteArray &name,
                     const QByteArray &trackPath, const TrackFile &track);
