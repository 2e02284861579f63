// The file system on Windows, through Qt. Names are UTF-8 here, Qt's own UTF-16 names spelt
// as bytes. Each copy is written under a short temporary name (QSaveFile's NAME.XXXXXX would
// not fit beside a name at the limit), flushed by itself (FlushFileBuffers: Windows has no
// flush of a whole volume that a user may ask for), then moved over its name in one step.
// Windows keeps a file that a process holds open from being deleted (Qt opens files without
// FILE_SHARE_DELETE): that is the lock that keeps a run from reclaiming another's temporary.
#include "file_system.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <direct.h>
#include <io.h>
#include <windows.h>
#undef CopyFile // the Win32 macro for CopyFileW would rename the copy's own type

struct FolderHandle {
    QDir dir;
    bool working = false; // the working folder: a path is taken as it is
};

struct OutputFolderHandle {
    Folder folder;
};

struct TrackFile {
    QFile file;
    QString canonicalPath;
    qint64 size = 0;
    QDateTime modified; // as opened
};

struct CopyFile {
    QFile file; // under its temporary name until it is committed
    QString path;
    bool named = false;
    CopyFile(const QString &temporaryPath, const QString &path) : file(temporaryPath), path(path) {}
    ~CopyFile()
    {
        if (!named) {
            file.close();
            file.remove();
        }
    }
};

namespace
{

QString pathIn(const Folder &folder, const QByteArray &name)
{
    const QString text = QString::fromUtf8(name);
    return folder->working ? text : folder->dir.filePath(text);
}

QString missingOrDenied(const QFileInfo &info)
{
    return info.exists() ? QStringLiteral("Permission denied")
                         : QStringLiteral("No such file or directory");
}

} // namespace

Folder openFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
    const QFileInfo info(pathIn(parent, path));
    if (!info.isDir()) {
        reason = info.exists() ? QStringLiteral("Not a directory") : missingOrDenied(info);
        return nullptr;
    }
    return std::make_shared<FolderHandle>(FolderHandle{QDir(info.filePath()), false});
}

Folder reachFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
    return openFolder(parent, path, reason);
}

bool isForeignOutputLink(const Folder &parent, const QByteArray &name)
{
    const QFileInfo link(pathIn(parent, name));
    if (!link.isSymLink() || !link.isDir())
        return false;
    return QFileInfo(link.canonicalFilePath()).fileName() != QLatin1String("gpswrok");
}

Folder workingFolder()
{
    return std::make_shared<FolderHandle>(FolderHandle{QDir(), true});
}

Folder folderOf(const OutputFolder &output)
{
    return output->folder;
}

OutputFolder openOrMakeOutputFolder(const Folder &parent, const QByteArray &name, QString &reason)
{
    const QString path = pathIn(parent, name);
    // Another run at once may make it between the look and the mkdir: then it is taken as it is.
    if (!QFileInfo(path).isDir() &&
        ::_wmkdir(reinterpret_cast<const wchar_t *>(path.utf16())) != 0 &&
        !(errno == EEXIST && QFileInfo(path).isDir())) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    auto output = std::make_shared<OutputFolderHandle>();
    output->folder = std::make_shared<FolderHandle>(FolderHandle{QDir(path), false});
    return output;
}

QByteArray folderIdentity(const Folder &folder)
{
    return folder->dir.canonicalPath().toUtf8();
}

bool listFolder(const Folder &folder, std::vector<FolderEntry> &entries, QString &reason)
{
    if (!folder->dir.isReadable()) {
        reason = QStringLiteral("Permission denied");
        return false;
    }
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
    for (const QFileInfo &entry : folder->dir.entryInfoList(all, QDir::Unsorted))
        entries.push_back({entry.fileName().toUtf8(),
                           entry.isDir() ? EntryKind::folder : EntryKind::file, entry.isHidden()});
    return true;
}

EntryKind entryKind(const Folder &parent, const QByteArray &name, QString &reason)
{
    const QFileInfo info(pathIn(parent, name));
    if (info.isDir())
        return EntryKind::folder;
    if (info.exists() && !name.endsWith('/') && !name.endsWith('\\'))
        return EntryKind::file;
    reason = info.exists() ? QStringLiteral("Not a directory") : missingOrDenied(info);
    return EntryKind::missing;
}

Track openTrack(const Folder &folder, const QByteArray &name, QString &reason)
{
    Track track(new TrackFile);
    const QFileInfo info(pathIn(folder, name));
    if (info.exists() && !info.isFile()) {
        reason = QStringLiteral("not a regular file");
        return nullptr;
    }
    track->file.setFileName(info.filePath());
    if (!track->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        reason = info.exists() ? track->file.errorString() : missingOrDenied(info);
        return nullptr;
    }
    track->canonicalPath = info.canonicalFilePath();
    track->size = track->file.size();
    track->modified = info.lastModified();
    return track;
}

QIODevice &trackDevice(TrackFile &track)
{
    return track.file;
}

bool trackChanged(const TrackFile &track)
{
    const QFileInfo now(track.file.fileName());
    return now.size() != track.size || now.lastModified() != track.modified;
}

qint64 trackSize(const TrackFile &track)
{
    return track.size;
}

bool leadsToTrack(const Folder &folder, const QByteArray &name, const TrackFile &track)
{
    const QFileInfo info(pathIn(folder, name));
    return info.exists() && info.canonicalFilePath() == track.canonicalPath;
}

CopyStart beginCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track)
{
    const Folder &folder = output->folder;
    const QFileInfo info(pathIn(folder, name));
    const bool firstCopy = !info.exists();
    if (leadsToTrack(folder, name, track))
        return {CopyStart::refused, nullptr, QString()};
    Copy copy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        copy.reset(new CopyFile(pathIn(folder, newTemporaryName()), info.filePath()));
        if (copy->file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
            break;
        if (QFileInfo::exists(copy->file.fileName())) {
            copy->named = true; // another's file: not ours to remove
            continue;
        }
        const QString reason = copy->file.errorString();
        copy->named = true;
        return {CopyStart::failed, nullptr, reason};
    }
    if (!copy->file.isOpen()) {
        copy->named = true;
        return {CopyStart::failed, nullptr, QStringLiteral("File exists")};
    }
    // As cp does, a new copy is no more open to others than its track; an earlier copy keeps
    // its permissions.
    copy->file.setPermissions(firstCopy ? copy->file.permissions() & track.file.permissions()
                                        : QFile::permissions(info.filePath()));
    return {CopyStart::begun, std::move(copy), QString()};
}

QIODevice &copyDevice(CopyFile &copy)
{
    return copy.file;
}

void startWriteBack(CopyFile &, qint64, qint64) {}

namespace
{

// A Win32 error as the errno the C runtime would give, as git's Windows layer maps them, so that
// a reason reads as it reads on Unix ("Permission denied", "No space left on device").
int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
        return ENODEV;
    default:
        return EIO;
    }
}

QString reasonOf(DWORD error)
{
    return QString::fromLocal8Bit(std::strerror(errnoOf(error)));
}

// Flushes a copy and puts it under its name, replacing an earlier one at once.
QString commitCopy(CopyFile &copy)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(copy.file.handle()));
    if (!FlushFileBuffers(handle))
        return reasonOf(GetLastError());
    copy.file.close();
    const QString from = QDir::toNativeSeparators(copy.file.fileName());
    const QString to = QDir::toNativeSeparators(copy.path);
    const auto wide = [](const QString &path) {
        return reinterpret_cast<const wchar_t *>(path.utf16());
    };
    // MoveFileExW replaces no read-only file: an earlier copy of a read-only track is made
    // writable first, as git's Windows layer does. The new copy keeps its own attributes.
    const DWORD attributes = GetFileAttributesW(wide(to));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(wide(to), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    // A virus scanner or an indexer that opened the new file or the earlier copy holds it for a
    // moment: the move is tried again, waiting a little longer each time, for about two
    // seconds in all.
    for (int attempt = 0, waitMs = 10;; ++attempt, waitMs *= 2) {
        if (MoveFileExW(wide(from), wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            break;
        const DWORD error = GetLastError();
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                          error == ERROR_LOCK_VIOLATION;
        if (!held || attempt == 7)
            return reasonOf(error);
        Sleep(DWORD(std::min(waitMs, 500)));
    }
    copy.named = true;
    return QString();
}

} // namespace

std::vector<QString> commitCopies(std::vector<Copy> &copies, const std::function<bool()> &giveUp)
{
    std::vector<QString> failures;
    for (const Copy &copy : copies) {
        if (giveUp && giveUp())
            break;
        failures.push_back(commitCopy(*copy));
    }
    copies.clear();
    return failures;
}

std::vector<QByteArray> removeStaleTemporaries(const OutputFolder &outputFolder)
{
    const Folder &output = outputFolder->folder;
    std::vector<QByteArray> removed;
    const QStringList filter{QLatin1String(temporaryPrefix) + QLatin1Char('*')};
    for (const QFileInfo &entry : output->dir.entryInfoList(filter, QDir::Files | QDir::Hidden)) {
        const QByteArray name = entry.fileName().toUtf8();
        // A live run holds its temporary open, and Windows then refuses to delete it.
        if (isTemporaryName(name) && QFile::remove(entry.filePath()))
            removed.push_back(name);
    }
    return removed;
}

int lastSeparator(const QByteArray &path)
{
    return std::max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
}

void FileRelease::operator()(TrackFile *track) const
{
    delete track;
}

void FileRelease::operator()(CopyFile *copy) const
{
    delete copy;
}
