// The corrected copy of one whole file, streamed from one device to another.
#pragma once

#include "rule/rollover_date.h"
#include "rule/time_stamp_rule.h"
#include "stream/read_ahead.h"

#include <QIODevice>
#include <QString>

#include <functional>

// How much a copy reads at a time, unless told otherwise.
constexpr qint64 defaultBlockSize = 256 * 1024;

struct CopyOptions {
    // How much is read at a time; also the most that is buffered before writing.
    qint64 blockSize = defaultBlockSize;
    // Text mode's line end: a carriage return and line feed on Windows, a line feed elsewhere.
#ifdef Q_OS_WIN
    bool crlfLineEnds = true;
#else
    bool crlfLineEnds = false;
#endif
    // Told of each stretch of at least writtenThroughStep bytes once it is written, so that
    // the output can start putting it on disk while the copy goes on.
    std::function<void(qint64 offset, qint64 length)> writtenThrough;
    qint64 writtenThroughStep = 8 << 20;
    // Where today's date is kept between copies, so that a run reads the clock once
    // (and again after a midnight at UTC+14) rather than once a copy; without it, each copy
    // reads the clock for itself.
    Today *today = nullptr;
    // The run's reader, for a track larger than a block read in blocks of its size; without
    // it, each block is read in turn.
    ReadAhead *readAhead = nullptr;
    // Asked before each block: where it says so, the copy is given up (CopyFailure::interrupted),
    // as a run that was interrupted gives up the copy in progress.
    std::function<bool()> stop;
};

enum class CopyFailure { none, cannotRead, cannotWrite, interrupted };

// How a copy went: its failure, and the system's reason for it.
struct CopyResult {
    CopyFailure failure = CopyFailure::none;
    QString reason;
    qint64 bytesRead = 0; // of a copy that did not fail: where the input ended
};

// Copies `in` to `out` with every time stamp corrected, keeping every byte the text does not
// change: a file is handled as code units, never decoded. A file that begins with a UTF-16 or
// UTF-32 byte-order mark is read in units of that width and byte order and written back the
// same way, mark included; any other file byte by byte. Every line break (a line feed, a
// carriage return and line feed, or a carriage return alone) becomes the platform's line end,
// and a last line without one gets one. On a failure `out` holds a partial copy.
// `count`, when given, learns how many time stamps the text holds and how many were moved.
CopyResult copyCorrected(QIODevice &in, QIODevice &out, const CopyOptions &options = {},
                         TimeStampCount *count = nullptr);
