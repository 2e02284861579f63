// The promises of the file system that read the same on both systems, kept here once, over
// the thin calls each system gives (system_specific.h).
#include "fs/file_system.h"

#include "fs/system_specific.h"

#include <cerrno>
#include <cstring>

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray joined(const QByteArray &folderPath, const QByteArray &name)
{
    if (folderPath.isEmpty() || lastSeparator(folderPath) == folderPath.size() - 1)
        return folderPath + name;
    return folderPath + '/' + name;
}

bool isDeviceGone(int error)
{
    return error == ENOTCONN || error == ENODEV || error == ENXIO || error == ECONNABORTED
#ifdef ESHUTDOWN
           || error == ESHUTDOWN
#endif
        ;
}

bool deviceGone(const Folder &folder)
{
    return isDeviceGone(folderError(folder));
}

namespace
{

// Why a copy could not be written: the system's words, and where the system took a card back
// in the middle of the run, that too, since its words alone would send a user to the card's
// lock switch.
template <typename Place> QString copyReason(int error, const Place &place)
{
    QString reason = systemReason(error);
    if (error == EROFS && madeReadOnly(place))
        reason += QLatin1String(" (the system made the card read-only during the run, as it does "
                                "when it finds its file system damaged: check it with fsck)");
    return reason;
}

} // namespace

Folder folderOf(const OutputFolder &output)
{
    return commonOf(*output).folder;
}

bool writesNothing(const OutputFolder &output)
{
    return commonOf(*output).writesNothing;
}

// A dry run's copies have no file; they go where their folder says.
bool writesNothing(const CopyFile &copy)
{
    return writesNothing(outputOf(copy));
}

OutputFolder openOrMakeOutputFolder(const Folder &parent, const QByteArray &name, QString &reason,
                                    bool writesNothing)
{
    OutputFolder output;
    int error = openOutputFolder(parent, name, output);
    const bool missing = error == ENOENT || error == ENOTDIR;
    if (missing && writesNothing) {
        error = wouldMakeFolder(parent, name);
        if (error == 0)
            output = missingOutputFolder();
    } else if (missing) {
        // Made where it is missing. Another run at once may make it first (EEXIST): then it is
        // opened as it is. Where it cannot be made, mkdir says why ("File exists" for a file in
        // the way).
        const int made = makeFolder(parent, name);
        if (made == 0 || made == EEXIST)
            error = openOutputFolder(parent, name, output);
        if (made != 0 && error != 0)
            error = made;
        if (made == 0 && error == 0)
            madeIn(output, parent);
    }
    if (error != 0) {
        reason = systemReason(error);
        return nullptr;
    }
    commonOf(*output).writesNothing = writesNothing;
    return output;
}

std::vector<SystemFailure> commitCopies(std::vector<Copy> &copies,
                                        const std::function<bool()> &giveUp)
{
    // In this order, whatever the system: every copy durable, then each named, then the names
    // durable; a copy that could not be made durable is never named. Where `giveUp` says so
    // (a flush through a card's driver takes long), nothing more is named.
    std::vector<SystemFailure> failures(copies.size());
    Flushes flushes;
    for (const Copy &copy : copies) {
        if (giveUp && giveUp()) {
            copies.clear();
            return {};
        }
        if (!writesNothing(*copy)) {
            if (const int error = makeDurable(*copy, flushes))
                failures[std::size_t(&copy - copies.data())] = {error, copyReason(error, *copy)};
        }
    }
    std::vector<CopyFile *> named;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        if (giveUp && giveUp()) {
            failures.resize(i);
            break;
        }
        if (writesNothing(*copies[i]) || failures[i].error != 0)
            continue;
        if (const int error = nameCopy(*copies[i]))
            failures[i] = {error, copyReason(error, *copies[i])};
        else
            named.push_back(copies[i].get());
    }
    syncNames(named, flushes);
    copies.clear();
    return failures;
}

CopyStart beginCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track)
{
    const Folder folder = folderOf(output);
    if (!folder) // a folder a real run would make, empty and this run's own
        return {CopyStart::begun, dryCopy(output, name), QString()};
    // As cp refuses: replacing what the name leads to would lose the track itself.
    if (leadsToTrack(folder, name, track))
        return {CopyStart::refused, nullptr, QString()};
    // A dry run answers as the writing would, writing nothing.
    if (writesNothing(output)) {
        if (const int error = wouldWriteCopy(output, name))
            return {CopyStart::failed, nullptr, systemReason(error)};
        return {CopyStart::begun, dryCopy(output, name), QString()};
    }
    Copy copy;
    if (const int error = createCopy(output, name, track, copy))
        return {CopyStart::failed, nullptr, copyReason(error, output)};
    return {CopyStart::begun, std::move(copy), QString()};
}

bool isForeignOutputLink(const Folder &parent, const QByteArray &name)
{
    // Followed only to a folder itself of that name, wherever the link and any links after it
    // lead; where that cannot be told, refused. A link that leads nowhere is left to the
    // opening, which says why.
    QByteArray target;
    if (!linksToFolder(parent, name, target))
        return false;
    while (target.size() > 1 && lastSeparator(target) == target.size() - 1)
        target.chop(1);
    return target.isEmpty() || target.mid(lastSeparator(target) + 1) != name;
}

std::vector<Reclaimed> removeStaleTemporaries(const OutputFolder &output)
{
    std::vector<Reclaimed> reclaimed;
    std::vector<FolderEntry> entries;
    QString ignored; // a folder that cannot be listed has nothing to reclaim that can be seen
    if (writesNothing(output) || !listFolder(folderOf(output), entries, ignored))
        return reclaimed;
    for (const FolderEntry &entry : entries) {
        // The file system is asked only where a name could be a short one: most folders hold
        // no temporary at all.
        if (entry.kind != EntryKind::file ||
            !(isTemporaryName(entry.name) ||
              (isShortNameOfTemporary(entry.name) && keepsShortNames(output))))
            continue;
        // Freeing clusters a copy's entry shares would lose the copy, and freeing a chain
        // already freed makes Linux's vfat remount the card read-only: only fsck can part
        // them.
        Reclaimed temporary{entry.name, {}, {}};
        if (const int error = clusterTwin(output, entry.name, entries, temporary.twin))
            temporary.reason = systemReason(error);
        if (!temporary.twin.isEmpty() || !temporary.reason.isEmpty() ||
            removeUnlessHeld(output, entry.name))
            reclaimed.push_back(temporary);
    }
    return reclaimed;
}
