// The fuzz target's oracles, for libFuzzer and for the replay of its corpus under the tests.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// The input's first byte picks a block size, the rest is a file. Returns which check disagreed,
// with the block size and the first byte where the copies differ, or an empty text.
QString checkCopy(const QByteArray &input);

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
