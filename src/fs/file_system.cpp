// The promises of the file system that read the same on both systems, kept here once, over
// the thin calls each system gives (system_layer.h).
#include "fs/file_system.h"

#include "fs/system_layer.h"

bool isForeignOutputLink(const Folder &parent, const QByteArray &name)
{
    // Followed only to a folder itself named gpswrok, wherever the link and any links after it
    // lead; where that cannot be told, refused. A link that leads nowhere is left to the
    // opening, which says why.
    QByteArray target;
    if (!linksToFolder(parent, name, target))
        return false;
    while (target.size() > 1 && lastSeparator(target) == target.size() - 1)
        target.chop(1);
    return target.isEmpty() || target.mid(lastSeparator(target) + 1) != "gpswrok";
}

std::vector<QByteArray> removeStaleTemporaries(const OutputFolder &output)
{
    std::vector<QByteArray> removed;
    std::vector<FolderEntry> entries;
    QString ignored; // a folder that cannot be listed has nothing to reclaim that can be seen
    if (writesNothing(output) || !listFolder(folderOf(output), entries, ignored))
        return removed;
    for (const FolderEntry &entry : entries) {
        if (entry.kind == EntryKind::file && isTemporaryName(entry.name) &&
            removeUnlessHeld(output, entry.name))
            removed.push_back(entry.name);
    }
    return removed;
}
