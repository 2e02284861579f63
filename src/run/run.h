// A run: what it carries from the first path of the command line to the last, and its end.
#pragma once

#include "fs/output_folders.h"
#include "rule/rollover_date.h"
#include "run/batch.h"
#include "stream/read_ahead.h"

#include <QByteArray>

struct Run {
    Batch batch;           // what it tells, and the copies waiting for one flush
    OutputFolders outputs; // every output folder asked for, and what it answered
    Today today;           // read once for the whole run, again only after a midnight
    ReadAhead readAhead;   // started by the first track larger than a block
    Run();
};

// The run goes on with the next track: it was not interrupted, and no card it read is gone.
bool goesOn(const Run &run);

// Tells a failure in `where`, or, where the card or disk `where` is on is gone, says that once
// and stops the run.
void postFailure(Run &run, const Folder &where, Report report);

// Tells what each output folder that could not be had cost, names every copy still waiting, and
// tells every report. After an interruption, a second one gives up what is not yet named.
void finishRun(Run &run);
