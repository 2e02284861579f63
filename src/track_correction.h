// What the command line and the directory walk need from the correction of one track.
#pragma once

#include <QFileInfo>
#include <QString>

// The folder beside each input that receives its corrected copy. Walks never enter a folder of
// this name, so copies that earlier runs wrote are not corrected a second time.
constexpr char outputDirName[] = "gpswrok";

// True for a file name whose suffix is "gpx" in any letter case.
bool hasGpxSuffix(const QFileInfo &fi);

// One line, without its terminator, as it is to be written: the date of each of its time stamps
// moved forward by rolloverDays when the moved date is not later than today.
QString correctTimeLine(const QString &line);

// Writes the corrected copy of a GPX file into the output folder beside it; a file of another
// suffix is left alone. Returns why the copy could not be made, or an empty text.
QString correctFile(QFileInfo fi);
