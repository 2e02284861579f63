// The file system on Windows, through Qt. Names are UTF-8 here, Qt's own UTF-16 names spelt
// as bytes. Each copy is written under a short temporary name (QSaveFile's NAME.XXXXXX would
// not fit beside a name at the limit), flushed by itself (FlushFileBuffers: Windows has no
// flush of a whole volume that a user may ask for), then moved over its name in one step.
// Windows keeps a file that a process holds open from being deleted (Qt opens files without
// FILE_SHARE_DELETE): that is the lock that keeps a run from reclaiming another's temporary.
#include "file_system.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <direct.h>
#include <io.h>
#include <windows.h>
#undef CopyFile // the Win32 macro for CopyFileW would rename the copy's own type
#endif

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
    return track;
}

QIODevice &trackDevice(TrackFile &track)
{
    return track.file;
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

// Flushes a copy and puts it under its name, replacing an earlier one at once.
QString commitCopy(CopyFile &copy)
{
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(copy.file.handle()));
    if (!FlushFileBuffers(handle))
        return QStringLiteral("cannot flush the copy");
    copy.file.close();
    const QString from = QDir::toNativeSeparators(copy.file.fileName());
    const QString to = QDir::toNativeSeparators(copy.path);
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                     reinterpret_cast<const wchar_t *>(to.utf16()),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED
                   ? QStringLiteral("Permission denied")
                   : QStringLiteral("cannot be named (error %1)").arg(error);
    }
#else
    copy.file.flush();
    copy.file.close();
    QFile::remove(copy.path);
    if (!copy.file.rename(copy.path))
        return copy.file.errorString();
#endif
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
