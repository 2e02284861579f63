// What the tool prints: names shown as they can be, and lines that reach a console whole.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// A name as a report shows it, so that a report stays one line and two names never show alike.
// On Unix: text as it is; each byte of a character that would break the line or drive the
// terminal (a line feed, an escape, U+0085, U+2028) and each byte that is no UTF-8 text as
// \xHH; a backslash as \\. On Windows, where a name is text and holds no control character:
// text as it is, with backslashes for separators, and '?' for a mark that would reorder it.
QString shownName(const QByteArray &name);

// Writes `line` and a line end, at once. On Windows a console gets it through the wide console
// API, so that a name in any script shows whole; a file or a pipe gets UTF-8, as everywhere
// else. Returns 0, or the errno of a write that failed.
int printLine(std::FILE *stream, const QString &line);

// The standard output of a run: the first error in writing it, or that it was closed when the
// run began.
struct StandardOutput {
    bool closed = false;
    int error = 0;
};

// Makes sure no file the run opens takes the place of a closed standard stream (where a copy
// would then receive what is printed), and says whether standard output was one of them.
StandardOutput guardStandardStreams();

// Writes a line to standard output; the first failure is kept, and nothing more is written.
// Returns false when the line was not written.
bool printOutput(StandardOutput &output, const QString &line);

// Whether the console is the program's own, made for it because no shell started it (Windows,
// a folder dropped on the program): its window closes when the program ends.
bool consoleIsOwn();

// Waits until Enter is pressed, so that the user can read what the window says.
void waitForEnter();
