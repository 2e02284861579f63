// The rule as a plain reading of it states it, apart from the copy's own scanner: for the fuzz
// targets and the replay of their corpus under the tests.
#pragma once

#include <QByteArray>
#include <QDate>
#include <QtGlobal>

struct RuleReading {
    QByteArray text; // the copy, with every line break one line feed and a last one added
    qint64 seen = 0; // values read
    qint64 moved = 0;
};

// Single-byte text (each byte one Latin-1 character) as the rule corrects it on `today`.
RuleReading byTheRule(const QByteArray &bytes, const QDate &today);
