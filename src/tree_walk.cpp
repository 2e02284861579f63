// The arguments and the walk of a folder: each folder's entries in name order, a subfolder
// walked to its end before the next entry.
#include "interruption.h"
#include "track_correction.h"

#include <algorithm>

namespace
{

QByteArray joined(const QByteArray &folderPath, const QByteArray &name)
{
    if (folderPath.isEmpty())
        return name;
    return folderPath.endsWith('/') ? folderPath + name : folderPath + '/' + name;
}

// Name order without regard to letter case, as a file manager lists a folder.
bool listedBefore(const FolderEntry &a, const FolderEntry &b)
{
    const int order =
        QString::fromUtf8(a.name).compare(QString::fromUtf8(b.name), Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a.name < b.name;
}

// The gpswrok folder of `folder`, found or made; a failure is reported once, for the folder.
Folder outputFolder(Run &run, const Folder &folder, const QByteArray &folderPath)
{
    QString reason;
    const QByteArray name(outputDirName);
    Folder output = openOrMakeFolder(folder, name, reason);
    const QByteArray outputPath = joined(folderPath, name);
    if (!output) {
        postReport(run.reports, {ReportKind::outputFolderNotMade, outputPath, {}, reason, {}});
        return output;
    }
    // What a killed run left is removed before this one writes beside it, once a run.
    const QByteArray identity = folderIdentity(output);
    if (std::find(run.reclaimed.begin(), run.reclaimed.end(), identity) == run.reclaimed.end()) {
        run.reclaimed.push_back(identity);
        for (const QByteArray &temporary : removeStaleTemporaries(output))
            postReport(run.reports,
                       {ReportKind::temporaryRemoved, joined(outputPath, temporary), {}, {}, {}});
    }
    return output;
}

// `inside` holds the folders the walk is in, so that a link back to one of them is not
// followed round and round.
void walkFolder(Run &run, const Folder &folder, const QByteArray &path,
                std::vector<QByteArray> &inside)
{
    std::vector<FolderEntry> entries;
    QString reason;
    if (!listFolder(folder, entries, reason))
        return postReport(run.reports, {ReportKind::folderNotRead, path, {}, reason, {}});
    std::sort(entries.begin(), entries.end(), listedBefore);
    Folder output;
    bool outputLooked = false; // found or made once, for the first track
    for (const FolderEntry &entry : entries) {
        if (interruption())
            return;
        if (entry.hidden)
            continue;
        const QByteArray entryPath = joined(path, entry.name);
        if (entry.kind == EntryKind::folder) {
            if (entry.name == outputDirName)
                continue;
            const Folder subfolder = openFolder(folder, entry.name, reason);
            if (!subfolder) {
                postReport(run.reports, {ReportKind::folderNotRead, entryPath, {}, reason, {}});
                continue;
            }
            const QByteArray identity = folderIdentity(subfolder);
            if (std::find(inside.begin(), inside.end(), identity) != inside.end())
                continue;
            inside.push_back(identity);
            walkFolder(run, subfolder, entryPath, inside);
            inside.pop_back();
        } else if (hasGpxSuffix(entry.name)) {
            if (!outputLooked) {
                output = outputFolder(run, folder, path);
                outputLooked = true;
            }
            if (output)
                correctTrack(run, folder, output, entry.name, entryPath,
                             joined(joined(path, outputDirName), entry.name));
        }
    }
}

} // namespace

void correctPath(Run &run, const QByteArray &path)
{
    QString reason;
    const EntryKind kind = entryKind(nullptr, path, reason);
    if (kind == EntryKind::folder) {
        const Folder folder = openFolder(nullptr, path, reason);
        if (!folder)
            return postReport(run.reports, {ReportKind::folderNotRead, path, {}, reason, {}});
        std::vector<QByteArray> inside{folderIdentity(folder)};
        return walkFolder(run, folder, path, inside);
    }
    const int separator = lastSeparator(path);
    const QByteArray folderPath = path.left(separator + 1), name = path.mid(separator + 1);
    if (!hasGpxSuffix(name)) {
        const ReportKind report =
            kind == EntryKind::missing ? ReportKind::trackNotOpened : ReportKind::leftAlone;
        return postReport(run.reports, {report, path, {}, reason, {}});
    }
    // A track named directly, there or not: its folder gets its gpswrok folder all the same.
    Folder folder;
    if (!folderPath.isEmpty() && !(folder = openFolder(nullptr, folderPath, reason)))
        return postReport(run.reports, {ReportKind::trackNotOpened, path, {}, reason, {}});
    if (const Folder output = outputFolder(run, folder, folderPath))
        correctTrack(run, folder, output, name, path,
                     joined(joined(folderPath, outputDirName), name));
}
