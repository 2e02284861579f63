// Copies waiting for one shared flush. Making a copy durable before it takes its name costs a
// journaled disk or a memory card a flush, more than all the rest of the copy; so finished
// copies wait here, unnamed, until one flush makes a whole batch of them durable, and are
// named only then. This list is the one thing the handling of two files shares. It is bounded
// (a few dozen copies, a few tens of MB), so that open files and memory stay few whatever the
// tree, and a copy waits for its name no longer than a moment.
#pragma once

#include "file_system.h"
#include "time_line_corrector.h"

#include <functional>

struct FinishedCopy {
    Copy file;
    QByteArray trackPath;
    QByteArray copyPath;
    TimeStampCount count;
};

struct CopyBatch {
    std::vector<FinishedCopy> copies;
    qint64 bytes = 0;
};

// Told how each copy of a flushed batch went, in the order they were added: `failure` is
// empty for a copy that is durable under its name.
using CopyOutcome = std::function<void(const FinishedCopy &copy, const QString &failure)>;

// Adds a finished copy of `bytes` bytes; a full batch is flushed at once.
void addToBatch(CopyBatch &batch, FinishedCopy copy, qint64 bytes, const CopyOutcome &outcome);

// Makes every copy waiting durable and names it.
void flushBatch(CopyBatch &batch, const CopyOutcome &outcome);
