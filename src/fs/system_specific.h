// The thin calls beneath the promises that file_system.cpp keeps once for both systems. Each
// system's file defines them (file_system_posix.cpp, file_system_windows.cpp); each does one thing.
#pragma once

#include "fs/file_system.h"

// `name` in `parent` is a link that leads to a folder: `target` is then that folder's path, as
// far as the system can tell it (empty where it cannot).
bool linksToFolder(const Folder &parent, const QByteArray &name, QByteArray &target);

// `name` in `parent` is a link that leads nowhere.
bool isDanglingLink(const Folder &parent, const QByteArray &name);

// The entry `name` of the folder that holds `folder` (its real parent, whatever link led to it)
// is `folder` itself, and no link: the folder's own name is `name`.
bool parentsEntryIs(const Folder &folder, const QByteArray &name);

// Each call that can fail returns 0 or the errno (on Windows, the Win32 error mapped to it).

// An errno in the system's words ("Permission denied"), the same on both systems.
QString systemReason(int error);

// What a look at `folder` itself answers: 0, or why it fails.
int folderError(const Folder &folder);

// Opens the folder `name` of `parent` to write copies into: ENOENT or ENOTDIR where no folder
// stands there.
int openOutputFolder(const Folder &parent, const QByteArray &name, OutputFolder &output);
// Makes the folder `name` in `parent` (mkdir).
int makeFolder(const Folder &parent, const QByteArray &name);
// What makeFolder would answer, making nothing.
int wouldMakeFolder(const Folder &parent, const QByteArray &name);
// What an output folder holds on both systems, each system's own handle being one: the calls
// that read alike (folderOf, writesNothing) are written once, over it.
struct OutputFolderCommon {
    Folder folder;              // null where a dry run found none: a real run would make it
    bool writesNothing = false; // a dry run's: the one place that says a run is dry
};
OutputFolderCommon &commonOf(OutputFolderHandle &output);
// The output folder a copy is written into.
const OutputFolder &outputOf(const CopyFile &copy);
// A dry run's output folder where a real run would make one.
OutputFolder missingOutputFolder();
// `output` was made by this run in `parent`: its entry there is made durable with its copies.
void madeIn(OutputFolder &output, const Folder &parent);

// A copy under a temporary name, or none at all, in `output`, to be named `name`.
int createCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track,
               Copy &copy);
// What createCopy, and naming it `name`, would answer, writing nothing.
int wouldWriteCopy(const OutputFolder &output, const QByteArray &name);
// A dry run's copy, which goes nowhere.
Copy dryCopy(const OutputFolder &output, const QByteArray &name);
bool writesNothing(const CopyFile &copy);

// What a commit has flushed so far: the file systems (by their device) that one flush made
// durable whole, so that each is flushed once for all its copies.
struct Flushes {
    std::vector<quint64> devices;
};
// Makes the copy's data durable: by one flush of its whole file system where that reaches the
// storage and was not made already, else by a flush of the copy itself.
int makeDurable(CopyFile &copy, Flushes &flushes);
// Puts a durable copy under its name, replacing an earlier one at once, never half.
int nameCopy(CopyFile &copy);
// Makes the new names durable: the folders of `named`, and a gpswrok folder this run made, in
// its parent, where no flush of the whole file system did so already.
void syncNames(const std::vector<CopyFile *> &named, const Flushes &flushes);

// The file system of `output` was written when the folder was opened and is read-only now: the
// system took it back, as Linux remounts a card whose file system it finds damaged.
bool madeReadOnly(const OutputFolder &output);
bool madeReadOnly(const CopyFile &copy); // of the copy's output folder
// The file system of `output` shows a file whose long name is lost by its short name (FAT).
bool keepsShortNames(const OutputFolder &output);
// The file system of `output` takes names alike but for letter case for one (FAT, exFAT,
// Windows), as far as the system tells.
bool ignoresCase(const OutputFolder &output);
// Where a power cut can leave two entries on one chain of clusters (FAT, exFAT): a file of
// `entries` other than a temporary that holds the same bytes as the temporary `name`, which
// may then be on the same clusters; 0 else. An error where `name` cannot be read whole.
int clusterTwin(const OutputFolder &output, const QByteArray &name,
                const std::vector<FolderEntry> &entries, QByteArray &twin);

// Removes the file `name` of `output` unless a live run holds it (the lock on Unix, the open
// handle without FILE_SHARE_DELETE on Windows). True where it is gone.
bool removeUnlessHeld(const OutputFolder &output, const QByteArray &name);
