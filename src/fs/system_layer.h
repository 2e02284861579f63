// The thin calls beneath the promises that file_system.cpp keeps once for both systems. Each
// system's file defines them (file_system_posix.cpp, file_system_qt.cpp); each does one thing.
#pragma once

#include "fs/file_system.h"

// `name` in `parent` is a link that leads to a folder: `target` is then that folder's path, as
// far as the system can tell it (empty where it cannot).
bool linksToFolder(const Folder &parent, const QByteArray &name, QByteArray &target);

// The output folder writes nothing: a dry run's.
bool writesNothing(const OutputFolder &output);

// Removes the file `name` of `output` unless a live run holds it (the lock on Unix, the open
// handle without FILE_SHARE_DELETE on Windows). True where it is gone.
bool removeUnlessHeld(const OutputFolder &output, const QByteArray &name);
