// The command line as the tool takes it: its options, and its paths as the system gave them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// What --help prints.
extern const char helpText[];

struct Arguments {
    bool help = false, version = false, verbose = false, dryRun = false;
    QList<QByteArray> paths; // in order, each as the system gave it
    QString problem;         // why the command line is wrong, or empty
};

// Reads `arguments` (the program's name first) as Qt's texts, and takes each path from
// `nativeArguments` (the same, without the name) as the system's bytes.
Arguments readArguments(const QStringList &arguments, const QList<QByteArray> &nativeArguments);
