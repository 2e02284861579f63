// What a run tells, and the copies waiting for one shared flush, in one batch in the order things
// happened. Making a copy durable before it takes its name costs a journaled disk or a memory
// card a flush, more than all the rest of the copy; so finished copies wait here, unnamed, until
// one flush makes a whole batch of them durable, and are named only then. A report that comes
// after a waiting copy waits behind it, so that the run still tells things in the order they
// happened. This batch is the one thing the handling of two files shares. It is bounded (a few
// dozen copies, a few tens of MB), so that open files and memory stay few whatever the tree, and
// a copy waits for its name no longer than a moment.
#pragma once

#include "fs/file_system.h"
#include "run/report.h"

#include <functional>
#include <vector>

struct Batch {
    struct Entry {
        Report report;
        Copy copy;         // a finished copy waiting for its flush and its name, or none
        bool said = false; // its failure is the gone card's, said already: not told
    };
    std::vector<Entry> entries;
    std::size_t copies = 0;
    qint64 bytes = 0;
    // Told each report, once everything before it has been told and each copy before it is
    // durable under its name.
    std::function<void(const Report &report)> tell;
    // Asked before each copy is named, by every flush, in the middle of a walk or at its end:
    // when it says so, that copy and everything after it are dropped untold, no copy of theirs
    // left. A flush may take long on a card, and a user who gives up waits no longer.
    std::function<bool()> giveUp;
    // A report has said that a card or disk is gone: the run stops, and says so no more.
    bool deviceGone = false;
};

// Tells `report` at once, or after the copies waiting before it; a card or disk gone, once.
void postReport(Batch &batch, Report report);

// Adds a finished copy of `bytes` bytes, with the report of its success; a full batch is flushed
// at once. A copy that fails to be made durable or named is told as a failure instead.
void postCopy(Batch &batch, Report report, Copy copy, qint64 bytes);

// Makes every copy waiting durable, names it, and tells every report waiting, in order, unless
// the batch's `giveUp` says otherwise.
void commitBatch(Batch &batch);
