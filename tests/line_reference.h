// The rule as the text streams describe it, one line at a time, for single-byte text: Latin-1
// maps every byte to one character and back. What a streamed copy must equal.
#pragma once

#include "track_correction.h"

#include <QByteArray>
#include <QList>

inline QByteArray linesThroughRule(QByteArray input)
{
    input.replace('\r', "");
    if (input.isEmpty())
        return input;
    if (input.endsWith('\n'))
        input.chop(1);
    QByteArray out;
    for (const QByteArray &line : input.split('\n'))
        out +=
            correctTimeLine(QString::fromLatin1(line.constData(), line.size())).toLatin1() + '\n';
    return out;
}
