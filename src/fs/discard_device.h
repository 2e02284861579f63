// Where a dry run's copy goes: nowhere. Every byte is taken, as a disk with room would take it.
#pragma once

#include <QIODevice>

struct DiscardDevice : QIODevice {
    DiscardDevice() { open(WriteOnly | Unbuffered); }
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override { return size; }
};
