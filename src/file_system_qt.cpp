// The file system on Windows, through Qt. Names are UTF-8 here, Qt's own UTF-16 names spelt
// as bytes. Each copy is a QSaveFile, whose commit flushes it by itself (FlushFileBuffers)
// before it takes its name: Windows has no flush of a whole volume that a user may ask for.
#include "file_system.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <direct.h>
#endif

struct FolderHandle {
    QDir dir;
};

struct TrackFile {
    QFile file;
    QString canonicalPath;
};

struct CopyFile {
    QSaveFile file;
    explicit CopyFile(const QString &path) : file(path) {}
};

namespace
{

QString pathIn(const Folder &folder, const QByteArray &name)
{
    const QString text = QString::fromUtf8(name);
    return folder ? folder->dir.filePath(text) : text;
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
    return std::make_shared<FolderHandle>(FolderHandle{QDir(info.filePath())});
}

Folder openOrMakeFolder(const Folder &parent, const QByteArray &name, QString &reason)
{
    const QString path = pathIn(parent, name);
    if (!QFileInfo(path).isDir()) {
#ifdef Q_OS_WIN
        if (::_wmkdir(reinterpret_cast<const wchar_t *>(path.utf16())) != 0) {
            reason = QString::fromLocal8Bit(std::strerror(errno));
            return nullptr;
        }
#else
        if (!QDir().mkdir(path)) {
            reason = QStringLiteral("cannot be made");
            return nullptr;
        }
#endif
    }
    return std::make_shared<FolderHandle>(FolderHandle{QDir(path)});
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
    return track;
}

QIODevice &trackDevice(TrackFile &track)
{
    return track.file;
}

Copy beginCopy(const Folder &folder, const QByteArray &name, const TrackFile &track,
               QString &reason, bool &isTrack)
{
    const QFileInfo info(pathIn(folder, name));
    const bool firstCopy = !info.exists();
    isTrack = !firstCopy && info.canonicalFilePath() == track.canonicalPath;
    if (isTrack)
        return nullptr;
    Copy copy(new CopyFile(info.filePath()));
    if (!copy->file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        reason = copy->file.errorString();
        return nullptr;
    }
    // As cp does, a new copy is no more open to others than its track.
    if (firstCopy)
        copy->file.setPermissions(copy->file.permissions() & track.file.permissions());
    return copy;
}

QIODevice &copyDevice(CopyFile &copy)
{
    return copy.file;
}

void startWriteBack(CopyFile &, qint64, qint64) {}

std::vector<QString> commitCopies(std::vector<Copy> &copies, const std::function<bool()> &giveUp)
{
    std::vector<QString> failures;
    for (const Copy &copy : copies) {
        if (giveUp && giveUp())
            break;
        failures.push_back(copy->file.commit() ? QString() : copy->file.errorString());
    }
    copies.clear();
    return failures;
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
