// The file system on Windows. Names are UTF-8 here, Qt's own UTF-16 names spelt as bytes.
// Folders are looked at through Qt; files are opened, named and removed by the Win32 calls
// themselves, through a path that takes any length (\\?\ before it), so that a failure gives
// the system's own error, mapped to the errno the C runtime would give, as on Unix.
//
// Each copy is written under a short temporary name (QSaveFile's NAME.XXXXXX would not fit
// beside a name at the limit), flushed by itself (FlushFileBuffers: Windows has no flush of a
// whole volume that a user may ask for), then renamed over its name through its own handle,
// which stays open until then. The handle is opened without FILE_SHARE_DELETE: while it is
// open no other run can remove the temporary, and that is the lock that keeps a run from
// reclaiming another's.
//
// A temporary's life:
//   created (CREATE_NEW, held open) -> written -> flushed -> renamed through its handle: named
//   at any step before it is named: given up, deleted through its handle, then closed
#include "fs/discard_device.h"
#include "fs/faultable_calls.h"
#include "fs/file_system.h"
#include "fs/system_specific.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>
#undef CopyFile // the Win32 macro for CopyFileW would rename the copy's own type

struct FolderHandle {
    QDir dir;
    bool working = false; // the working folder: a path is taken as it is
};

struct OutputFolderHandle : OutputFolderCommon {
};

namespace
{

QString reasonOf(DWORD error);

// A file's bytes through Qt's device interface, read and written by ReadFile and WriteFile, as
// the Unix layer's by read and write; it owns its handle.
struct HandleDevice : QIODevice {
    HANDLE handle = INVALID_HANDLE_VALUE;
    qint64 length = 0;
    ~HandleDevice() override { close(); }
    bool isSequential() const override { return false; }
    qint64 size() const override { return length; }
    void close() override
    {
        QIODevice::close();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    qint64 readData(char *data, qint64 size) override
    {
        DWORD done = 0;
        if (systemReadFile(handle, data, DWORD(std::min<qint64>(size, 1 << 30)), &done))
            return done;
        setErrorString(reasonOf(GetLastError()));
        return -1;
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        DWORD done = 0;
        const BOOL written =
            systemWriteFile(handle, data, DWORD(std::min<qint64>(size, 1 << 30)), &done);
        if (written && done > 0)
            return done;
        // One that says it succeeded and took nothing left no error behind: its own is told.
        setErrorString(reasonOf(written ? ERROR_WRITE_FAULT : GetLastError()));
        return -1;
    }
};

} // namespace

struct TrackFile {
    HandleDevice file;
    QString path;
    QString canonicalPath;
    qint64 size = 0;
    QDateTime modified; // as opened
};

struct CopyFile {
    HandleDevice file; // under its temporary name until it is committed
    QString temporaryPath;
    QString path;
    QFile::Permissions permissions; // given when it is named
    bool named = false;
    OutputFolder output; // a dry run's writes nothing, and its copies have no file
    DiscardDevice nowhere;
    ~CopyFile();
};

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
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_CANNOT_MAKE:
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
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NO_MEDIA_IN_DRIVE:
        return ENODEV;
    default:
        return EIO;
    }
}

QString reasonOf(DWORD error)
{
    return systemReason(errnoOf(error));
}

QString pathIn(const Folder &folder, const QByteArray &name)
{
    const QString text = QString::fromUtf8(name);
    return folder->working ? text : folder->dir.filePath(text);
}

// A path as the Win32 calls take it at any length: whole, in backslashes, after \\?\ (a
// share's after \\?\UNC\). Such a path is taken as it stands, so it is cleaned first.
std::wstring longPath(const QString &path)
{
    const QString verbatim = QStringLiteral("\\\\?\\");
    QString full = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (full.startsWith(verbatim))
        return full.toStdWString();
    if (full.startsWith(QLatin1String("\\\\")))
        return (verbatim + QLatin1String("UNC") + full.mid(1)).toStdWString();
    return (verbatim + full).toStdWString();
}

// The attributes of `path`, or INVALID_FILE_ATTRIBUTES with the system's reason.
DWORD attributesOf(const QString &path, QString &reason)
{
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        reason = reasonOf(GetLastError());
    return attributes;
}

// Opens `path` with CreateFileW into `file`, which closes it.
bool openHandle(HandleDevice &file, const QString &path, DWORD access, DWORD sharing,
                DWORD disposition, DWORD flags, QIODevice::OpenMode mode, DWORD &error)
{
    const HANDLE handle =
        CreateFileW(longPath(path).c_str(), access, sharing, nullptr, disposition, flags, nullptr);
    LARGE_INTEGER length{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &length)) {
        error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        return false;
    }
    file.handle = handle;
    file.length = length.QuadPart;
    file.open(mode | QIODevice::Unbuffered);
    return true;
}

} // namespace

CopyFile::~CopyFile()
{
    if (named || !file.isOpen())
        return;
    // Deleted through its own handle, so that no other program can take the name in between.
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool deleted = SetFileInformationByHandle(file.handle, FileDispositionInfo, &disposition,
                                                    sizeof disposition);
    file.close();
    if (!deleted)
        DeleteFileW(longPath(temporaryPath).c_str());
}

Folder openFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
    const QString folder = pathIn(parent, path);
    const DWORD attributes = attributesOf(folder, reason);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = systemReason(ENOTDIR);
        return nullptr;
    }
    return std::make_shared<FolderHandle>(FolderHandle{QDir(folder), false});
}

Folder reachFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
    return openFolder(parent, path, reason);
}

bool linksToFolder(const Folder &parent, const QByteArray &name, QByteArray &target)
{
    const QFileInfo link(pathIn(parent, name));
    if (!link.isSymLink() || !link.isDir())
        return false;
    target = link.canonicalFilePath().toUtf8();
    return true;
}

bool isDanglingLink(const Folder &parent, const QByteArray &name)
{
    const QFileInfo link(pathIn(parent, name));
    return link.isSymLink() && !link.exists();
}

// The folder's real path, links and junctions resolved, ends in that name, in any letter case.
bool parentsEntryIs(const Folder &folder, const QByteArray &name)
{
    const QString self = folder->dir.canonicalPath();
    return !self.isEmpty() &&
           QFileInfo(self).fileName().compare(QString::fromUtf8(name), Qt::CaseInsensitive) == 0;
}

int folderError(const Folder &folder)
{
    return GetFileAttributesW(longPath(folder->dir.absolutePath()).c_str()) !=
                   INVALID_FILE_ATTRIBUTES
               ? 0
               : errnoOf(GetLastError());
}

Folder workingFolder()
{
    return std::make_shared<FolderHandle>(FolderHandle{QDir(), true});
}

OutputFolderCommon &commonOf(OutputFolderHandle &output)
{
    return output;
}

const OutputFolder &outputOf(const CopyFile &copy)
{
    return copy.output;
}

int openOutputFolder(const Folder &parent, const QByteArray &name, OutputFolder &output)
{
    const QString path = pathIn(parent, name);
    const DWORD attributes = GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return errnoOf(GetLastError());
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ENOTDIR;
    output = std::make_shared<OutputFolderHandle>();
    output->folder = std::make_shared<FolderHandle>(FolderHandle{QDir(path), false});
    return 0;
}

int makeFolder(const Folder &parent, const QByteArray &name)
{
    return systemCreateDirectory(longPath(pathIn(parent, name)).c_str()) ? 0
                                                                         : errnoOf(GetLastError());
}

// As CreateDirectoryW would answer: whatever stands there is in the way.
int wouldMakeFolder(const Folder &parent, const QByteArray &name)
{
    return GetFileAttributesW(longPath(pathIn(parent, name)).c_str()) != INVALID_FILE_ATTRIBUTES
               ? EEXIST
               : 0;
}

OutputFolder missingOutputFolder()
{
    return std::make_shared<OutputFolderHandle>();
}

// Windows gives no call that flushes a folder's entries: what FlushFileBuffers and the rename
// make durable is all it promises.
void madeIn(OutputFolder &, const Folder &) {}

QByteArray folderIdentity(const Folder &folder)
{
    return folder->dir.canonicalPath().toUtf8();
}

bool listFolder(const Folder &folder, std::vector<FolderEntry> &entries, QString &reason)
{
    if (!folder->dir.isReadable()) {
        reason = systemReason(EACCES);
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
    const DWORD attributes = attributesOf(pathIn(parent, name), reason);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::missing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::folder;
    if (!name.endsWith('/') && !name.endsWith('\\'))
        return EntryKind::file;
    reason = systemReason(ENOTDIR);
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
    // Others may go on reading, writing or removing it: a change is seen at the end.
    DWORD error = 0;
    if (!openHandle(track->file, info.filePath(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                    FILE_FLAG_SEQUENTIAL_SCAN, QIODevice::ReadOnly, error)) {
        reason = reasonOf(error);
        return nullptr;
    }
    track->path = info.filePath();
    track->canonicalPath = info.canonicalFilePath();
    track->size = track->file.size();
    track->modified = info.lastModified();
    return track;
}

QByteArray trackIdentity(const TrackFile &track)
{
    return track.canonicalPath.toLower().toUtf8();
}

QIODevice &trackDevice(TrackFile &track)
{
    return track.file;
}

bool trackChanged(const TrackFile &track)
{
    const QFileInfo now(track.path);
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

// As the rename would answer where a folder stands at the name.
int wouldWriteCopy(const OutputFolder &output, const QByteArray &name)
{
    return QFileInfo(pathIn(output->folder, name)).isDir() ? errnoOf(ERROR_ACCESS_DENIED) : 0;
}

Copy dryCopy(const OutputFolder &output, const QByteArray &)
{
    Copy copy(new CopyFile);
    copy->output = output;
    return copy;
}

int createCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track,
               Copy &made)
{
    const Folder &folder = output->folder;
    Copy copy(new CopyFile);
    copy->output = output;
    copy->path = pathIn(folder, name);
    // As cp does, a new copy is no more open to others than its track; an earlier copy keeps
    // its permissions. They are given when it is named, so that it stays writable until then.
    copy->permissions = QFileInfo::exists(copy->path) ? QFile::permissions(copy->path)
                                                      : QFile::permissions(track.path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        copy->temporaryPath = pathIn(folder, newTemporaryName());
        DWORD error = 0;
        if (openHandle(copy->file, copy->temporaryPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, QIODevice::WriteOnly, error)) {
            made = std::move(copy);
            return 0;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return errnoOf(error);
    }
    return EEXIST;
}

QIODevice &copyDevice(CopyFile &copy)
{
    if (writesNothing(copy))
        return copy.nowhere;
    return copy.file;
}

void startWriteBack(CopyFile &, qint64, qint64) {}

// Windows has no flush of a whole volume that a user may ask for: each copy by itself.
int makeDurable(CopyFile &copy, Flushes &)
{
    return systemFlushFileBuffers(copy.file.handle) ? 0 : errnoOf(GetLastError());
}

// Renamed over its name through its own handle, replacing an earlier copy at once.
int nameCopy(CopyFile &copy)
{
    const HANDLE handle = copy.file.handle;
    const std::wstring to = longPath(copy.path);
    // The rename replaces no read-only file: an earlier copy of a read-only track is made
    // writable first, as git's Windows layer does.
    const DWORD attributes = GetFileAttributesW(to.c_str());
    const bool madeWritable =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(to.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = DWORD(to.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, to.data(), rename->FileNameLength);
    // A virus scanner or an indexer that opened the earlier copy holds it for a moment: the
    // rename is tried again, waiting a little longer each time, for about two seconds in all.
    for (int attempt = 0, waitMs = 10;; ++attempt, waitMs *= 2) {
        if (systemRenameByHandle(handle, rename, DWORD(buffer.size())))
            break;
        const DWORD error = GetLastError();
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                          error == ERROR_LOCK_VIOLATION;
        if (!held || attempt == 7) {
            // The earlier copy stays as it was, read-only bit and all (as mingw_rename puts it
            // back): a user who made it so meant it.
            if (madeWritable)
                SetFileAttributesW(to.c_str(), attributes);
            return errnoOf(error);
        }
        Sleep(DWORD(std::min(waitMs, 500)));
    }
    copy.named = true;
    copy.file.close();
    QFile::setPermissions(copy.path, copy.permissions);
    return 0;
}

// Windows gives no call that flushes a folder's entries: what FlushFileBuffers and the rename
// make durable is all it promises.
void syncNames(const std::vector<CopyFile *> &, const Flushes &) {}

// Windows says a card gone read-only in its own words (ERROR_WRITE_PROTECT).
bool madeReadOnly(const OutputFolder &)
{
    return false;
}

bool madeReadOnly(const CopyFile &)
{
    return false;
}

// As Windows names files unless a folder is made case-sensitive for WSL.
bool ignoresCase(const OutputFolder &)
{
    return true;
}

bool keepsShortNames(const OutputFolder &output)
{
    // FAT and FAT32 keep short names; exFAT and NTFS do not.
    const std::wstring path =
        QDir::toNativeSeparators(output->folder->dir.absolutePath()).toStdWString() + L"\\";
    wchar_t volume[MAX_PATH + 1], system[MAX_PATH + 1];
    return GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) &&
           GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr, system,
                                 MAX_PATH + 1) &&
           std::wcsncmp(system, L"FAT", 3) == 0;
}

// Windows' own FAT driver is not known to leave two entries on one chain; chkdsk parts them
// where it does.
int clusterTwin(const OutputFolder &, const QByteArray &, const std::vector<FolderEntry> &,
                QByteArray &)
{
    return 0;
}

bool removeUnlessHeld(const OutputFolder &output, const QByteArray &name)
{
    // A live run holds its temporary open without FILE_SHARE_DELETE, and Windows then refuses
    // to delete it.
    return DeleteFileW(longPath(pathIn(output->folder, name)).c_str());
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
