// What the tool prints: names shown as they can be, and lines that reach a console whole.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// A name as a report shows it: text as it is, a character that would break the line or drive the
// terminal (a line feed, an escape, U+0085, U+2028) as '?', any byte that is no UTF-8 text as
// \xHH and a backslash as \\, so that a report stays one line and still tells the name apart
// from any other.
QString shownName(const QByteArray &name);

// Writes `line` and a line end. On Windows a console gets it through the wide console API, so
// that a name in any script shows whole; a file or a pipe gets UTF-8, as everywhere else.
void printLine(std::FILE *stream, const QString &line);
