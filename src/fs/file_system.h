// What the correction asks of the file system. The promises that read alike on both systems
// (where a copy may go, a folder made once however many runs race for it, what a dry run
// answers, the reclaim of what a killed run left) are kept once, in file_system.cpp, over thin
// calls (system_specific.h); the rest, and those calls, per system: Unix through its own calls, a
// few to a copy (on a memory card or a network share every call is a trip through a driver), in
// file_system_posix.cpp; Windows through Win32, and Qt for folders, in file_system_windows.cpp.
//
// Names are bytes: on Unix exactly the file system's own, whatever they hold, so that every
// name is reached and a copy keeps the bytes of its track's name; on Windows UTF-8.
// Every call that fails says why in `reason`, in the system's words ("Permission denied").
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// A folder held open while its entries are read or tracks are read from it. Never null where a
// call takes one.
struct FolderHandle;
using Folder = std::shared_ptr<const FolderHandle>;

// The working folder, where a relative path starts.
Folder workingFolder();

// The folder `path` names, from `parent`; null, with the reason, where it cannot be opened.
Folder openFolder(const Folder &parent, const QByteArray &path, QString &reason);

// The folder `path` names, from `parent`, held only to reach what is in it by name: it need not
// be one that may be listed (a drop box, mode 0733), as the folder of a track named directly.
Folder reachFolder(const Folder &parent, const QByteArray &path, QString &reason);

// `name` in `parent` is a link that leads anywhere but to a folder itself named `name` (an output
// folder's name): copies written there could replace the tracks of another folder, so it is
// never written into.
bool isForeignOutputLink(const Folder &parent, const QByteArray &name);

// A folder copies are written into, which knows how its copies are made durable: only
// openOrMakeOutputFolder makes one.
struct OutputFolderHandle;
using OutputFolder = std::shared_ptr<OutputFolderHandle>;

// The output folder `name` in `parent`, made first when it is missing; null, with the reason,
// where it can be neither opened nor made. One that `writesNothing` (a dry run's) makes
// nothing, neither the folder nor, later, a copy in it or a name for one; every call on it
// answers as it would for a real run, from what stands on disk: can the folder be made here,
// can a copy be written into it, is the file system read-only. Only writing can tell a full
// disk.
OutputFolder openOrMakeOutputFolder(const Folder &parent, const QByteArray &name, QString &reason,
                                    bool writesNothing = false);

// The output folder writes nothing: a dry run's, the one place that says a run is dry.
bool writesNothing(const OutputFolder &output);

// The folder an output folder is, for what is asked of any folder; null for one a dry run found
// missing.
Folder folderOf(const OutputFolder &output);

// What tells two folders apart, however they were reached: a link back to a folder the walk is
// inside leads to one it knows.
QByteArray folderIdentity(const Folder &folder);

enum class EntryKind { missing, folder, file };
struct FolderEntry {
    QByteArray name;
    EntryKind kind; // links followed; `file` for anything that is no folder
    bool hidden;
};

// The entries of a folder but "." and "..", in no order. The kind comes from the listing where
// the system gives it, else from a look at the entry.
bool listFolder(const Folder &folder, std::vector<FolderEntry> &entries, QString &reason);

// What `name` in `parent` is, links followed.
EntryKind entryKind(const Folder &parent, const QByteArray &name, QString &reason);

struct TrackFile;
struct CopyFile;
// Closes a track, or gives up a copy not yet named with whatever it left on disk.
struct FileRelease {
    void operator()(TrackFile *track) const;
    void operator()(CopyFile *copy) const;
};
using Track = std::unique_ptr<TrackFile, FileRelease>;
using Copy = std::unique_ptr<CopyFile, FileRelease>;

// A track opened for reading. A pipe or a device is refused: reading it could wait forever.
Track openTrack(const Folder &folder, const QByteArray &name, QString &reason);
QIODevice &trackDevice(TrackFile &track);
// What tells two tracks apart, however they were named.
QByteArray trackIdentity(const TrackFile &track);

// The track is no longer as it was opened: its size or its modification time differ, so a copy
// read from it may hold half of one version and half of another.
bool trackChanged(const TrackFile &track);
qint64 trackSize(const TrackFile &track);

// The name `name` in `folder` leads to the track itself (through a link, or because the folder
// is the track's own), so that a copy under it would replace the track.
bool leadsToTrack(const Folder &folder, const QByteArray &name, const TrackFile &track);

// A copy being written, not yet under its name; dropped, it leaves nothing behind. It is
// refused where its name leads to the track itself. A new copy is no more open to others than
// its track, as with cp; an earlier copy keeps its permissions.
struct CopyStart {
    enum Outcome { begun, refused, failed } outcome;
    Copy copy;      // when begun
    QString reason; // when failed
};
CopyStart beginCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track);
QIODevice &copyDevice(CopyFile &copy);

// Asks the system to start writing what the copy holds to disk, without waiting.
void startWriteBack(CopyFile &copy, qint64 offset, qint64 length);

// A copy written under a name before it takes its own is written as this prefix and six small
// letters or digits: hidden, short enough for any file system that holds the copy's own name,
// one name whatever the letter case a file system keeps, and recognisably the tool's own, so
// that a run can reclaim what a killed one left without ever taking a user's file for it.
constexpr char temporaryPrefix[] = ".gpx-rollover-";

// A temporary name at random, which a file may have already.
QByteArray newTemporaryName();

// `name` is one that newTemporaryName makes.
bool isTemporaryName(const QByteArray &name);

// What a FAT file system shows of a temporary whose long name a power cut lost: the short name
// it gave it (GPX-RO~1, or GP and four hexadecimal digits, ~ and a digit), no extension, in
// any letter case. Never a copy's: a copy's name ends in .gpx.
bool isShortNameOfTemporary(const QByteArray &name);

// What a reclaim did with a temporary file a run that did not finish left.
struct Reclaimed {
    QByteArray name;
    // Empty where it was removed. Else it was left alone, because removing it would free what
    // may be a copy's clusters too (a power cut on a FAT card can leave two entries on one
    // chain: the copy's new entry and its temporary's, not yet removed): the copy whose bytes
    // it holds, or where it cannot be read whole, the reason.
    QByteArray twin;
    QString reason;
};

// Reclaims the temporary files in `output` that a run which did not finish left: those no
// live run holds a lock on; on a FAT card also those shown by their short name. Where the
// system has no locks, nothing is removed.
std::vector<Reclaimed> removeStaleTemporaries(const OutputFolder &output);

// Where the folder part of a path ends: its last separator, or -1.
int lastSeparator(const QByteArray &path);

// A path as reports show it: `name` in the folder shown as `folderPath` ("" for the working
// folder). A folder named with a separator at its end ("D:\\Tracks\\", "sub/") gets no second
// one.
QByteArray joined(const QByteArray &folderPath, const QByteArray &name);

// A failure as the system gave it: its errno (on Windows, the Win32 error mapped to one) and
// its words. None where `error` is 0.
struct SystemFailure {
    int error = 0;
    QString reason;
};

// The system says the card or disk is gone, as it says of any call on it after a card is pulled
// or its driver died (ENOTCONN, ENODEV, ENXIO, ESHUTDOWN; ECONNABORTED, what FUSE answers the
// calls in flight when its connection is torn down), not of one unreadable file (EIO).
bool isDeviceGone(int error);
// A call on `folder` says its card or disk is gone.
bool deviceGone(const Folder &folder);

// Makes the copies durable, as few flushes as the system allows for all of them; then names
// each. Returns for each copy why it failed, or none; a failed one is dropped. Where `giveUp`
// says so before a copy is named, it and the copies after it are dropped, and the answer holds
// only the copies before it.
std::vector<SystemFailure> commitCopies(std::vector<Copy> &copies,
                                        const std::function<bool()> &giveUp = {});
