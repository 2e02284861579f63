#include "run/tree_walk.h"

#include "run/track_correction.h"

#include <algorithm>

namespace
{

// The gpswrok folder of `folder`, asked of the run's record; what a run that did not finish left
// there is told the first time.
OutputPlace &outputOf(Run &run, const Folder &folder, const QByteArray &folderPath)
{
    OutputPlace &place = outputPlaceOf(run.outputs, folder, folderPath);
    for (const Reclaimed &temporary : place.reclaimed) {
        const ReportKind kind = !temporary.twin.isEmpty()     ? ReportKind::temporaryLeftAlone
                                : !temporary.reason.isEmpty() ? ReportKind::temporaryNotRead
                                                              : ReportKind::temporaryRemoved;
        postReport(run.batch,
                   {kind,
                    joined(place.path, temporary.name),
                    temporary.twin.isEmpty() ? QByteArray() : joined(place.path, temporary.twin),
                    temporary.reason,
                    {}});
    }
    place.reclaimed.clear();
    return place;
}

// `inside` holds the folders the walk is in, so that a link back to one of them is not
// followed round and round.
void walkFolder(Run &run, const Folder &folder, const QByteArray &path,
                std::vector<QByteArray> &inside)
{
    std::vector<FolderEntry> entries;
    QString reason;
    if (!listFolder(folder, entries, reason))
        return postFailure(run, folder, {ReportKind::folderNotRead, path, {}, reason, {}});
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &a, const FolderEntry &b) {
        return listedBefore(a.name, b.name);
    });
    // The folder the copies of this one go to is no folder of tracks, whatever its name: on a
    // disk that keeps no letter case, "GPSWROK" is it. Where the system tells it by its inode,
    // the run's record of output folders knows it (the gpswrok entry of its parent). A card's
    // FUSE driver gives "gpswrok" and "GPSWROK" two inodes, though they are one folder: there,
    // where no entry is named "gpswrok" exactly and one opens by that name (before this walk
    // makes anything here), it is the entry named so in another case.
    const auto inOtherCase = [](const FolderEntry &entry) {
        return entry.name != outputDirName && entry.name.toLower() == outputDirName;
    };
    bool outputInOtherCase = false;
    if (std::any_of(entries.begin(), entries.end(), inOtherCase) &&
        std::none_of(entries.begin(), entries.end(),
                     [](const FolderEntry &e) { return e.name == outputDirName; }) &&
        !isForeignOutputLink(folder, outputDirName)) {
        QString ignored;
        outputInOtherCase = openFolder(folder, outputDirName, ignored) != nullptr;
    }
    OutputPlace *output = nullptr; // asked for by the first track
    for (const FolderEntry &entry : entries) {
        if (!goesOn(run))
            return;
        if (entry.hidden)
            continue;
        const QByteArray entryPath = joined(path, entry.name);
        if (entry.kind == EntryKind::folder) {
            if (entry.name == outputDirName)
                continue;
            const Folder subfolder = openFolder(folder, entry.name, reason);
            if (!subfolder) {
                postFailure(run, folder, {ReportKind::folderNotRead, entryPath, {}, reason, {}});
                continue;
            }
            // A link to an output folder, under any name: the copies there are no tracks.
            const QByteArray identity = folderIdentity(subfolder);
            if ((outputInOtherCase && inOtherCase(entry)) ||
                isOutputFolder(run.outputs, subfolder, identity) ||
                std::find(inside.begin(), inside.end(), identity) != inside.end())
                continue;
            inside.push_back(identity);
            walkFolder(run, subfolder, entryPath, inside);
            inside.pop_back();
        } else if (hasGpxSuffix(entry.name)) {
            if (!output)
                output = &outputOf(run, folder, path);
            correctTrack(run, {folder, path, entry.name}, *output);
        }
    }
}

} // namespace

bool hasGpxSuffix(const QByteArray &name)
{
    return name.size() >= 4 && name.right(4).toLower() == ".gpx";
}

bool listedBefore(const QByteArray &a, const QByteArray &b)
{
    const int order = QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a < b;
}

void correctPath(Run &run, const QByteArray &path)
{
    QString reason;
    const Folder working = workingFolder();
    const EntryKind kind = entryKind(working, path, reason);
    if (kind == EntryKind::folder) {
        const Folder folder = openFolder(working, path, reason);
        if (!folder)
            return postFailure(run, working, {ReportKind::folderNotRead, path, {}, reason, {}});
        std::vector<QByteArray> inside{folderIdentity(folder)};
        return walkFolder(run, folder, path, inside);
    }
    const int separator = lastSeparator(path);
    const QByteArray folderPath = path.left(separator + 1), name = path.mid(separator + 1);
    if (!hasGpxSuffix(name)) {
        const ReportKind report =
            kind == EntryKind::missing ? ReportKind::trackNotOpened : ReportKind::leftAlone;
        return postFailure(run, working, {report, path, {}, reason, {}});
    }
    // A track named directly, there or not: its folder gets its gpswrok folder all the same.
    const Folder folder = folderPath.isEmpty() ? working : reachFolder(working, folderPath, reason);
    if (!folder)
        return postFailure(run, working, {ReportKind::trackNotOpened, path, {}, reason, {}});
    correctTrack(run, {folder, folderPath, name}, outputOf(run, folder, folderPath));
}
