// Getting a large copy onto the disk while it is still being written.
#pragma once

#include <QFileDevice>

// Asks the system to start writing the given stretch of `file` to disk now, without waiting:
// the copy is synced to disk before it takes its name, and that sync then finds most of the
// work done. Only a hint; where the system has no such call it does nothing.
void startWriteBack(QFileDevice &file, qint64 offset, qint64 length);
