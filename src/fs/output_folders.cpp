#include "fs/output_folders.h"

#include "fs/system_specific.h"

#include <algorithm>

namespace
{

OutputPlace openPlace(const OutputFolders &outputs, const Folder &folder,
                      const QByteArray &folderPath)
{
    OutputPlace place;
    const QByteArray name(outputDirName);
    place.path = joined(folderPath, name);
    if (isForeignOutputLink(folder, name)) {
        place.state = OutputPlace::refused;
        return place;
    }
    place.output = openOrMakeOutputFolder(folder, name, place.reason, outputs.writesNothing);
    if (!place.output) {
        // What is in the way is said as such: "File exists" would leave a user to guess.
        QString ignored;
        place.state = entryKind(folder, name, ignored) == EntryKind::file
                          ? OutputPlace::fileInTheWay
                      : isDanglingLink(folder, name) ? OutputPlace::linkInTheWay
                                                     : OutputPlace::notMade;
        return place;
    }
    place.state = OutputPlace::ready;
    const Folder made = folderOf(place.output);
    place.identity = made ? folderIdentity(made) : "missing:" + place.path;
    return place;
}

} // namespace

OutputPlace &outputPlaceOf(OutputFolders &outputs, const Folder &folder,
                           const QByteArray &folderPath)
{
    const QByteArray identity = folderIdentity(folder);
    const auto known = outputs.placeOf.constFind(identity);
    if (!identity.isEmpty() && known != outputs.placeOf.constEnd())
        return outputs.places[known.value()];
    OutputPlace place = openPlace(outputs, folder, folderPath);
    place.folderIdentity = identity;
    // What a killed run left is removed before this one writes beside it, once a run: two
    // folders of tracks may share one output folder through a link.
    if (place.state == OutputPlace::ready && !outputs.outputs.contains(place.identity)) {
        outputs.outputs.insert(place.identity);
        if (folderOf(place.output))
            place.reclaimed = removeStaleTemporaries(place.output);
    }
    if (!identity.isEmpty())
        outputs.placeOf.insert(identity, outputs.places.size());
    outputs.places.push_back(std::move(place));
    return outputs.places.back();
}

bool isOutputFolder(const OutputFolders &outputs, const Folder &folder, const QByteArray &identity)
{
    return outputs.outputs.contains(identity) || parentsEntryIs(folder, outputDirName);
}

QByteArray claimCopy(OutputFolders &outputs, const OutputPlace &place, const QByteArray &name,
                     const QByteArray &trackPath, const TrackFile &track)
{
    // Where the file system takes "B.gpx" for "b.gpx", the two are one copy.
    const bool oneCase = place.output && folderOf(place.output) && ignoresCase(place.output);
    const QByteArray key = place.identity + '\0' + (oneCase ? name.toLower() : name);
    const QByteArray identity = trackIdentity(track) + '\0';
    const auto given = outputs.givenCopies.constFind(key);
    if (given == outputs.givenCopies.constEnd()) {
        outputs.givenCopies.insert(key, identity + trackPath);
        return QByteArray();
    }
    return given.value().startsWith(identity) ? QByteArray() : given.value().mid(identity.size());
}
