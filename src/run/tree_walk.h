// Each path of the command line, and the walk of a folder: each folder's entries in name order,
// a subfolder walked to its end before the next entry.
#pragma once

#include "run/run.h"

#include <QByteArray>

// True for a file name whose suffix is "gpx" in any letter case.
bool hasGpxSuffix(const QByteArray &name);

// The order a walk visits a folder's entries in: by name without regard to letter case, as a
// file manager lists a folder; names alike but for case (or for bytes that are no text) by
// their bytes, so that the order is one whatever the listing's.
bool listedBefore(const QByteArray &a, const QByteArray &b);

// One argument: a folder is walked, a GPX file corrected.
void correctPath(Run &run, const QByteArray &path);
