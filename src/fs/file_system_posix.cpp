// The file system on Unix, through its own calls. A copy costs about ten of them: the track
// opened, looked at and read; the copy's name looked at (is it the track itself?); the copy
// made without a name where the system can (so that even kill -9 leaves nothing), written and
// handed to write-back; then, for a whole batch of copies, one flush and a name for each.
#include "fs/discard_device.h"
#include "fs/faultable_calls.h"
#include "fs/file_system.h"
#include "fs/system_specific.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace
{

// Closes a descriptor when it goes out of scope.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { reset(); }
    void reset(int other = -1)
    {
        if (fd >= 0)
            ::close(fd);
        fd = other;
    }
};

int openAt(int folder, const QByteArray &name, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::openat(folder, name.constData(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A read of `fd` that a signal cut short before it began is made again.
ssize_t readAgain(int fd, void *data, std::size_t size)
{
    ssize_t n;
    do
        n = systemRead(fd, data, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// A file's bytes through Qt's device interface, so that the copy reads and writes any device.
struct DescriptorDevice : QIODevice {
    int fd;
    qint64 length;
    DescriptorDevice(int fd, qint64 length, OpenMode mode) : fd(fd), length(length)
    {
        open(mode | Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return length; }
    qint64 readData(char *data, qint64 size) override
    {
        return transfer([&] { return systemRead(fd, data, std::size_t(size)); });
    }
    qint64 writeData(const char *data, qint64 size) override
    {
        return transfer([&] { return systemWrite(fd, data, std::size_t(size)); });
    }
    // A transfer a signal cut short before it began is made again; any other failure is said.
    template <typename Call> qint64 transfer(Call call)
    {
        for (;;) {
            const ssize_t n = call();
            if (n >= 0)
                return n;
            if (errno != EINTR) {
                setErrorString(systemReason(errno));
                return -1;
            }
        }
    }
};

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

// What a flush reaches on the file system a folder is on, and so the order a commit takes there.
enum class FlushReach {
    // syncfs writes every file and entry and flushes the storage's cache (ext4, XFS, btrfs):
    // one call makes a whole batch durable, and another its names.
    wholeSystem,
    // Only a file's own fdatasync reaches the storage: a FUSE driver keeps what it is given
    // until then, and answers syncfs at once. Each copy is synced by itself.
    eachFile,
    // Linux's own FAT32 (vfat) and exFAT drivers. Their syncfs writes everything but sends
    // the card no cache flush, so that data and names would fall into one flush and a card
    // may keep the names and lose the data; only fsync and fdatasync flush. And vfat writes a
    // renamed file's entry (its first cluster and size) only with the file's inode, which a
    // folder's fsync does not write, while the clusters of the copy it replaced are freed in
    // the table at once: a flush then leaves the name on those freed clusters and the new
    // copy referenced by nothing. So here a commit flushes twice: the copies (syncfs, then one
    // fdatasync), then their names (syncfs, the earlier copies let go, syncfs, each folder's
    // fsync). Between two flushes a card may write in any order and a FAT has no journal: a
    // cut there can leave what only fsck mends, never at a flush.
    allocationTable,
};

struct FolderHandle {
    Descriptor fd; // AT_FDCWD for the working folder, which is never closed
    explicit FolderHandle(int fd) : fd(fd) {}
};

struct OutputFolderHandle : OutputFolderCommon {
    // The folder it was made in, by this run: its new entry is made durable with the first
    // copies named in it, and only then is this cleared.
    Folder madeIn;
    FlushReach reach = FlushReach::eachFile;
    bool shortNames = false;  // FAT's 8.3 names beside the long ones
    bool ignoresCase = false; // Linux's own vfat and exfat: "B.gpx" is "b.gpx"
    bool writable = false;    // its file system, when it was opened
    dev_t device = 0;
    // Once the system has said it makes no files without a name here (exFAT, FAT, most
    // network shares), copies are given a temporary name from the start, without asking again.
    bool namesEveryFile = false;
};

struct TrackFile {
    Descriptor fd;
    struct stat status;
    Folder folder;
    DescriptorDevice device;
    TrackFile(int fd, const struct stat &status, Folder folder)
        : fd(fd), status(status), folder(std::move(folder)),
          device(fd, status.st_size, QIODevice::ReadOnly)
    {
    }
};

struct CopyFile {
    Descriptor fd;
    OutputFolder output;
    QByteArray name;
    QByteArray temporaryName; // empty while the copy has no name at all
    bool replaces;            // an earlier copy stands under the name
    // The earlier copy, held open from just before this copy replaces it until the new entry
    // is written, where the file system would free its clusters before that (FlushReach).
    Descriptor earlier{-1};
    DescriptorDevice device;
    DiscardDevice nowhere; // a dry run's copy, which has no file
    CopyFile(int fd, OutputFolder output, QByteArray name, QByteArray temporaryName, bool replaces)
        : fd(fd), output(std::move(output)), name(std::move(name)),
          temporaryName(std::move(temporaryName)), replaces(replaces),
          device(fd, 0, QIODevice::WriteOnly)
    {
    }
    ~CopyFile()
    {
        if (!temporaryName.isEmpty())
            ::unlinkat(folderFd(), temporaryName.constData(), 0);
    }
    int folderFd() const { return output->folder->fd.fd; }
};

namespace
{

// What tells a file or folder apart however it was reached: its device and inode.
QByteArray identityOf(const struct stat &status)
{
    return QByteArray::number(quint64(status.st_dev)) + ':' +
           QByteArray::number(quint64(status.st_ino));
}

int folderFd(const Folder &folder)
{
    return folder->fd.fd;
}

// The lock a run holds on a copy's file for as long as the copy may have a temporary name: a run
// that reclaims what killed ones left takes it without waiting, and leaves alone what it cannot
// take. flock, not fcntl: a lock per open file, which a second descriptor the same process
// opens (the listing of a reclaim) cannot quietly share. True where the lock is held, or where
// the system has none (ENOLCK, EINVAL, EOPNOTSUPP), so that nothing is reclaimed there either.
bool lockCopy(int fd)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    return errno != EWOULDBLOCK && errno != EINTR;
}

// `name` in `folder` is still the file `fd` is open on: a reclaim did not remove it between its
// making and its lock.
bool stillNamed(int folder, const QByteArray &name, int fd)
{
    struct stat named, open;
    return ::fstatat(folder, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// Gives a copy without a name the name `name` in its folder: through /proc, as anyone may;
// without /proc, directly, as only a privileged process may. Returns 0, or the errno.
int linkUnnamed(const CopyFile &copy, const QByteArray &name)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(copy.fd.fd);
    if (systemLinkat(AT_FDCWD, self.constData(), copy.folderFd(), name.constData(),
                     AT_SYMLINK_FOLLOW) == 0)
        return 0;
#ifdef AT_EMPTY_PATH
    if (errno == ENOENT)
        return systemLinkat(copy.fd.fd, "", copy.folderFd(), name.constData(), AT_EMPTY_PATH) == 0
                   ? 0
                   : errno;
#endif
    return errno;
}

} // namespace

Folder openFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
    const int fd = openAt(folderFd(parent), path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        reason = systemReason(errno);
        return nullptr;
    }
    return std::make_shared<FolderHandle>(fd);
}

Folder reachFolder(const Folder &parent, const QByteArray &path, QString &reason)
{
#ifdef O_PATH
    // O_PATH serves openat, mkdirat, fstatat and linkat, and asks no read permission.
    const int fd = openAt(folderFd(parent), path, O_PATH | O_DIRECTORY);
    if (fd < 0) {
        reason = systemReason(errno);
        return nullptr;
    }
    return std::make_shared<FolderHandle>(fd);
#else
    return openFolder(parent, path, reason);
#endif
}

bool linksToFolder(const Folder &parent, const QByteArray &name, QByteArray &target)
{
    struct stat status;
    if (::fstatat(folderFd(parent), name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(status.st_mode))
        return false;
    const Descriptor fd(openAt(folderFd(parent), name, O_RDONLY | O_DIRECTORY));
    if (fd.fd < 0)
        return false;
    // Where every link after it leads: /proc knows. Without /proc, the link's own target says
    // it, as far as the link itself goes.
    char path[4096];
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd.fd);
    ssize_t length = ::readlink(self.constData(), path, sizeof path);
    if (length <= 0)
        length = ::readlinkat(folderFd(parent), name.constData(), path, sizeof path);
    target = length > 0 && std::size_t(length) < sizeof path ? QByteArray(path, int(length))
                                                             : QByteArray();
    return true;
}

bool isDanglingLink(const Folder &parent, const QByteArray &name)
{
    struct stat status;
    return ::fstatat(folderFd(parent), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(status.st_mode) &&
           ::fstatat(folderFd(parent), name.constData(), &status, 0) != 0 && errno == ENOENT;
}

// "..", from a folder's descriptor, is its real parent, whatever link led to the folder; the
// entry itself is looked at, not where a link of that name leads.
bool parentsEntryIs(const Folder &folder, const QByteArray &name)
{
    struct stat self, entry;
    return ::fstatat(folderFd(folder), ".", &self, 0) == 0 &&
           ::fstatat(folderFd(folder), ("../" + name).constData(), &entry, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           self.st_dev == entry.st_dev && self.st_ino == entry.st_ino;
}

// statfs, not stat: FUSE answers a stat from what it cached, a statfs only by asking its driver,
// which a pulled card or a killed driver cannot answer.
int folderError(const Folder &folder)
{
    struct statvfs system;
    const int result = folderFd(folder) == AT_FDCWD ? ::statvfs(".", &system)
                                                    : ::fstatvfs(folderFd(folder), &system);
    return result == 0 ? 0 : errno;
}

Folder workingFolder()
{
    return std::make_shared<FolderHandle>(AT_FDCWD);
}

int openOutputFolder(const Folder &parent, const QByteArray &name, OutputFolder &output)
{
    const int fd = openAt(folderFd(parent), name, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return errno;
    output = std::make_shared<OutputFolderHandle>();
    output->folder = std::make_shared<FolderHandle>(fd);
    struct stat status;
    if (::fstat(fd, &status) == 0)
        output->device = status.st_dev;
#ifdef Q_OS_LINUX
    struct statfs system;
    constexpr unsigned fuseMagic = 0x65735546, vfatMagic = 0x4d44, exfatMagic = 0x2011bab0;
    if (systemFstatfs(fd, &system) != 0 || unsigned(system.f_type) == fuseMagic)
        output->reach = FlushReach::eachFile;
    else if (unsigned(system.f_type) == vfatMagic || unsigned(system.f_type) == exfatMagic)
        output->reach = FlushReach::allocationTable;
    else
        output->reach = FlushReach::wholeSystem;
    output->shortNames = unsigned(system.f_type) == vfatMagic;
    output->ignoresCase = output->reach == FlushReach::allocationTable;
#endif
    struct statvfs mount;
    output->writable = ::fstatvfs(fd, &mount) == 0 && !(mount.f_flag & ST_RDONLY);
    return 0;
}

int makeFolder(const Folder &parent, const QByteArray &name)
{
    return systemMkdirat(folderFd(parent), name.constData(), 0777) == 0 ? 0 : errno;
}

// EEXIST where anything stands there (a file, a link that leads nowhere), else what access(2)
// says of writing the folder: EACCES, or EROFS on a file system mounted read-only. Only writing
// can tell a full disk, a quota or a failing card.
int wouldMakeFolder(const Folder &parent, const QByteArray &name)
{
    struct stat status;
    if (::fstatat(folderFd(parent), name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return ::faccessat(folderFd(parent), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

OutputFolder missingOutputFolder()
{
    return std::make_shared<OutputFolderHandle>();
}

void madeIn(OutputFolder &output, const Folder &parent)
{
    output->madeIn = parent;
}

OutputFolderCommon &commonOf(OutputFolderHandle &output)
{
    return output;
}

const OutputFolder &outputOf(const CopyFile &copy)
{
    return copy.output;
}

QByteArray folderIdentity(const Folder &folder)
{
    // fstatat with ".", which serves the working folder (AT_FDCWD) as any other.
    struct stat status;
    if (::fstatat(folderFd(folder), ".", &status, 0) != 0)
        return QByteArray();
    return identityOf(status);
}

EntryKind entryKind(const Folder &parent, const QByteArray &name, QString &reason)
{
    struct stat status;
    if (::fstatat(folderFd(parent), name.constData(), &status, 0) != 0) {
        reason = systemReason(errno);
        return EntryKind::missing;
    }
    return S_ISDIR(status.st_mode) ? EntryKind::folder : EntryKind::file;
}

bool listFolder(const Folder &folder, std::vector<FolderEntry> &entries, QString &reason)
{
    // The listing reads through a descriptor of its own, which closedir closes.
    const int fd = ::dup(folder->fd.fd);
    DIR *const dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!dir) {
        reason = systemReason(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) {
                reason = systemReason(errno);
                ok = false;
            }
            break;
        }
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const bool hidden = name.startsWith('.');
        EntryKind kind = EntryKind::file;
#ifdef DT_DIR
        if (entry->d_type == DT_DIR)
            kind = EntryKind::folder;
        else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
#endif
        {
            QString ignored; // an entry gone since the listing, or a broken link: a file
            kind = entryKind(folder, name, ignored);
            if (kind == EntryKind::missing)
                kind = EntryKind::file;
        }
        entries.push_back({name, kind, hidden});
    }
    ::closedir(dir);
    return ok;
}

Track openTrack(const Folder &folder, const QByteArray &name, QString &reason)
{
    // Not waiting for a writer: a pipe opened so is refused below, unread.
    const int fd = openAt(folderFd(folder), name, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        // A socket cannot be opened at all (ENXIO): it is said to be what it is, as a pipe is.
        struct stat status;
        const int error = errno;
        reason = error == ENXIO && ::fstatat(folderFd(folder), name.constData(), &status, 0) == 0 &&
                         !S_ISREG(status.st_mode)
                     ? QStringLiteral("not a regular file")
                     : systemReason(error);
        return nullptr;
    }
    struct stat status;
    const bool looked = ::fstat(fd, &status) == 0;
    if (!looked || !S_ISREG(status.st_mode)) {
        reason = looked ? QStringLiteral("not a regular file") : systemReason(errno);
        ::close(fd);
        return nullptr;
    }
    return Track(new TrackFile(fd, status, folder));
}

QByteArray trackIdentity(const TrackFile &track)
{
    return identityOf(track.status);
}

QIODevice &trackDevice(TrackFile &track)
{
    return track.device;
}

bool trackChanged(const TrackFile &track)
{
    struct stat now;
    if (::fstat(track.fd.fd, &now) != 0)
        return true;
    const struct stat &then = track.status;
    return now.st_size != then.st_size || now.st_mtim.tv_sec != then.st_mtim.tv_sec ||
           now.st_mtim.tv_nsec != then.st_mtim.tv_nsec;
}

qint64 trackSize(const TrackFile &track)
{
    return qint64(track.status.st_size);
}

namespace
{

// The check cp makes: replacing what the name leads to, `earlier`, would lose the track.
bool isTrackItself(const Folder &folder, const QByteArray &name, const struct stat &earlier,
                   const TrackFile &track)
{
    if (earlier.st_dev != track.status.st_dev || earlier.st_ino != track.status.st_ino)
        return false;
    // Unless the name is another hard link to the track's data, in another folder: replacing
    // that link leaves the track as it was.
    if (earlier.st_nlink <= 1)
        return true;
    struct stat entry, copyFolder, trackFolder;
    const bool hardLink =
        ::fstatat(folderFd(folder), name.constData(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISLNK(entry.st_mode);
    const bool ownFolder = ::fstat(folderFd(folder), &copyFolder) == 0 &&
                           ::fstatat(folderFd(track.folder), ".", &trackFolder, 0) == 0 &&
                           copyFolder.st_dev == trackFolder.st_dev &&
                           copyFolder.st_ino == trackFolder.st_ino;
    return !hardLink || ownFolder;
}

} // namespace

bool leadsToTrack(const Folder &folder, const QByteArray &name, const TrackFile &track)
{
    struct stat earlier;
    return ::fstatat(folderFd(folder), name.constData(), &earlier, 0) == 0 &&
           isTrackItself(folder, name, earlier, track);
}

// A copy is made only in a folder that may be written (EACCES; EROFS, mounted read-only), and
// named only where no folder stands.
int wouldWriteCopy(const OutputFolder &output, const QByteArray &name)
{
    const int folder = folderFd(output->folder);
    struct stat earlier;
    if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    return ::fstatat(folder, name.constData(), &earlier, 0) == 0 && S_ISDIR(earlier.st_mode)
               ? EISDIR
               : 0;
}

Copy dryCopy(const OutputFolder &output, const QByteArray &name)
{
    return Copy(new CopyFile(-1, output, name, {}, false));
}

// Without a name where the system can (so that even kill -9 leaves nothing), else under a
// temporary name, locked.
int createCopy(const OutputFolder &output, const QByteArray &name, const TrackFile &track,
               Copy &copy)
{
    const int folder = folderFd(output->folder);
    struct stat earlier;
    const bool replaces = ::fstatat(folder, name.constData(), &earlier, 0) == 0;
    const mode_t wanted = replaces ? earlier.st_mode & 07777 : track.status.st_mode & 0666;
    QByteArray temporary;
    int fd = -1;
    int error = 0;
#ifdef O_TMPFILE
    // FAT and exFAT have no file without a name: not asked there.
    if (!output->namesEveryFile && output->reach != FlushReach::allocationTable) {
        fd = openAt(folder, ".", O_TMPFILE | O_WRONLY, wanted);
        error = fd < 0 ? errno : 0;
        output->namesEveryFile = error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
    }
#endif
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = newTemporaryName();
        fd = openAt(folder, temporary, O_CREAT | O_EXCL | O_WRONLY, wanted);
        error = fd < 0 ? errno : 0;
        if (fd < 0 && error != EEXIST)
            break;
        // A reclaim that took the new file for a stale one before it was locked removes it: then
        // the name is gone, and another is taken.
        if (fd >= 0 && !(lockCopy(fd) && stillNamed(folder, temporary, fd))) {
            ::close(fd);
            fd = -1;
            error = EEXIST;
        }
    }
    if (fd < 0)
        return error;
    // An earlier copy keeps its permissions even where the umask would take some away.
    if (replaces && (wanted & currentUmask()) != 0)
        ::fchmod(fd, wanted);
    copy.reset(new CopyFile(fd, output, name, temporary, replaces));
    return 0;
}

QIODevice &copyDevice(CopyFile &copy)
{
    if (writesNothing(copy))
        return copy.nowhere;
    return copy.device;
}

void startWriteBack(CopyFile &copy, qint64 offset, qint64 length)
{
    if (writesNothing(copy))
        return;
#ifdef Q_OS_LINUX
    // A failure only means the flush has more to do.
    ::sync_file_range(copy.fd.fd, offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(copy);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}

namespace
{

// A folder reached with O_PATH cannot be synced itself (fsync: EBADF): it is opened to be read
// for that, where it may be.
void syncFolder(const FolderHandle &folder)
{
    if (systemFsync(folder.fd.fd) == 0 || errno != EBADF)
        return;
    const Descriptor readable(openAt(folder.fd.fd, ".", O_RDONLY | O_DIRECTORY));
    if (readable.fd >= 0)
        systemFsync(readable.fd);
}

} // namespace

int nameCopy(CopyFile &copy)
{
    const int folder = copy.folderFd();
    if (copy.temporaryName.isEmpty()) {
        int error = copy.replaces ? EEXIST : linkUnnamed(copy, copy.name);
        if (error == 0)
            return 0;
        // Named for a moment before it replaces the earlier copy: locked first, so that no
        // reclaim takes it for a killed run's. No one else can hold the lock yet.
        if (error == EEXIST)
            lockCopy(copy.fd.fd);
        for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
            const QByteArray temporary = newTemporaryName();
            error = linkUnnamed(copy, temporary);
            if (error == 0)
                copy.temporaryName = temporary;
        }
        if (error != 0)
            return error;
    }
    // Where the file system would free the earlier copy's clusters at the rename, it is held
    // until the new entry is written (FlushReach); one that cannot be held is replaced all the
    // same.
    if (copy.replaces && copy.output->reach == FlushReach::allocationTable)
        copy.earlier.reset(openAt(folder, copy.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (systemRenameat(folder, copy.temporaryName.constData(), folder, copy.name.constData()) != 0)
        return errno;
    copy.temporaryName.clear();
    return 0;
}

int makeDurable(CopyFile &copy, Flushes &flushes)
{
#ifdef Q_OS_LINUX
    // One syncfs makes every copy on its file system durable, data and all; where it writes
    // without flushing (FlushReach::allocationTable), one fdatasync after it sends the flush.
    // Where that cannot be relied on, or fails, each copy is flushed by itself.
    const OutputFolderHandle &output = *copy.output;
    auto &done = flushes.devices;
    if (output.reach != FlushReach::eachFile) {
        if (std::find(done.begin(), done.end(), quint64(output.device)) != done.end())
            return 0;
        if (systemSyncfs(copy.fd.fd) == 0 &&
            (output.reach == FlushReach::wholeSystem || systemFdatasync(copy.fd.fd) == 0)) {
            done.push_back(quint64(output.device));
            return 0;
        }
    }
#else
    Q_UNUSED(flushes);
#endif
    return systemFdatasync(copy.fd.fd) == 0 ? 0 : errno;
}

namespace
{

// The distinct output folders of `named`, and for each file system one of them.
struct NamedFolders {
    std::vector<OutputFolderHandle *> all, onePerDevice;
};
NamedFolders namedFolders(const std::vector<CopyFile *> &named)
{
    NamedFolders folders;
    for (const CopyFile *copy : named) {
        OutputFolderHandle *const output = copy->output.get();
        if (std::find(folders.all.begin(), folders.all.end(), output) != folders.all.end())
            continue;
        folders.all.push_back(output);
        const auto sameDevice = [&](const OutputFolderHandle *other) {
            return other->device == output->device;
        };
        if (std::none_of(folders.onePerDevice.begin(), folders.onePerDevice.end(), sameDevice))
            folders.onePerDevice.push_back(output);
    }
    return folders;
}

} // namespace

void syncNames(const std::vector<CopyFile *> &named, const Flushes &flushes)
{
    // A gpswrok folder this run made is synced into its parent too: a syncfs after the mkdir
    // made that entry durable already, but where none did (a card through FUSE, each copy
    // flushed by itself) nothing else writes it before the copies are told as made. Not every
    // system can sync a folder; nothing is lost where it cannot, but the name.
    const NamedFolders folders = namedFolders(named);
    const auto onTable = [](const OutputFolderHandle *output) {
        return output->reach == FlushReach::allocationTable;
    };
    // FlushReach::allocationTable: a syncfs writes the renamed entries, which a folder's fsync
    // would not; only then are the earlier copies let go and the table that frees their
    // clusters written, so that a card that writes in order never holds a name on freed
    // clusters. Each folder's fsync then flushes it all at once: a flush never finds a
    // cluster that no entry holds.
    for (OutputFolderHandle *output : folders.onePerDevice) {
        if (onTable(output))
            systemSyncfs(output->folder->fd.fd);
    }
    bool letGo = false;
    for (CopyFile *copy : named) {
        letGo = letGo || copy->earlier.fd >= 0;
        copy->earlier.reset();
    }
    for (OutputFolderHandle *output : folders.onePerDevice) {
        if (letGo && onTable(output))
            systemSyncfs(output->folder->fd.fd);
    }
    const auto &done = flushes.devices;
    for (OutputFolderHandle *output : folders.all) {
        systemFsync(output->folder->fd.fd);
        if (output->madeIn &&
            std::find(done.begin(), done.end(), quint64(output->device)) == done.end())
            syncFolder(*output->madeIn);
        output->madeIn.reset();
    }
}

bool madeReadOnly(const OutputFolder &output)
{
    struct statvfs mount;
    return output->folder && output->writable &&
           ::fstatvfs(folderFd(output->folder), &mount) == 0 && (mount.f_flag & ST_RDONLY);
}

bool madeReadOnly(const CopyFile &copy)
{
    return madeReadOnly(copy.output);
}

// A FUSE driver says nothing of it: exfat-fuse ignores case, sshfs does not.
bool ignoresCase(const OutputFolder &output)
{
    return output->ignoresCase;
}

bool keepsShortNames(const OutputFolder &output)
{
    return output->shortNames;
}

namespace
{

// The two files hold the same bytes, read to the end of both.
bool sameBytes(int one, int other, int &error)
{
    char a[65536], b[sizeof a];
    for (;;) {
        const ssize_t n = readAgain(one, a, sizeof a);
        const ssize_t m = n < 0 ? 0 : readAgain(other, b, sizeof b);
        if (n < 0 || m < 0) {
            error = n < 0 ? errno : 0; // only the temporary's own failure is told
            return false;
        }
        if (n != m || std::memcmp(a, b, std::size_t(n)) != 0)
            return false;
        if (n == 0)
            return true;
    }
}

} // namespace

int clusterTwin(const OutputFolder &output, const QByteArray &name,
                const std::vector<FolderEntry> &entries, QByteArray &twin)
{
    if (output->reach != FlushReach::allocationTable)
        return 0;
    const int folder = folderFd(output->folder);
    const Descriptor fd(openAt(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat status;
    if (fd.fd < 0 || ::fstat(fd.fd, &status) != 0)
        return 0; // gone, or no file to remove: the removal finds out
    // A live run's temporary is no leftover: the removal leaves it alone too.
    if (::flock(fd.fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return 0;
    // Read whole first: a chain a cut broke is as dangerous to free as a shared one.
    int error = 0;
    char buffer[65536];
    for (ssize_t n; (n = readAgain(fd.fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0)
            return errno;
    }
    if (status.st_size == 0)
        return 0; // no cluster at all
    for (const FolderEntry &entry : entries) {
        if (entry.kind != EntryKind::file || isTemporaryName(entry.name) ||
            isShortNameOfTemporary(entry.name))
            continue;
        const Descriptor other(openAt(folder, entry.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        struct stat otherStatus;
        // Two entries of one chain were both written from one file: the same size and the same
        // time of change (FAT keeps whole seconds), which a copy an earlier run made has not.
        if (other.fd < 0 || ::fstat(other.fd, &otherStatus) != 0 ||
            otherStatus.st_size != status.st_size || otherStatus.st_mtime != status.st_mtime ||
            ::lseek(fd.fd, 0, SEEK_SET) != 0)
            continue;
        if (sameBytes(fd.fd, other.fd, error)) {
            twin = entry.name;
            return 0;
        }
        if (error != 0)
            return error;
    }
    return 0;
}

bool removeUnlessHeld(const OutputFolder &output, const QByteArray &name)
{
    // Held: a live run has its lock on it. Taken here, the lock keeps a run that names the
    // file next from taking it meanwhile; a file replaced under the name is not removed.
    const int folder = output->folder->fd.fd;
    const Descriptor fd(openAt(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat status;
    return fd.fd >= 0 && ::fstat(fd.fd, &status) == 0 && S_ISREG(status.st_mode) &&
           ::flock(fd.fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(folder, name, fd.fd) &&
           ::unlinkat(folder, name.constData(), 0) == 0;
}

int lastSeparator(const QByteArray &path)
{
    return path.lastIndexOf('/');
}

void FileRelease::operator()(TrackFile *track) const
{
    delete track;
}

void FileRelease::operator()(CopyFile *copy) const
{
    delete copy;
}
