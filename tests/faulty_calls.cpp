// System calls that fail as the plan in GPX_ROLLOVER_FAULTS says, for the tool built to be
// tested so: the tags that the table at the top of tests/cli.test marks FAULTY, each said there.
#include "fs/faultable_calls.h"

#include <QByteArray>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace
{

// The plan of this test build, the tags in GPX_ROLLOVER_FAULTS, and what it has counted: the
// faults are decided here, alike for Unix's calls and Windows'.
struct Plan {
    QString faults = QString::fromLocal8Bit(qgetenv("GPX_ROLLOVER_FAULTS"));
    int copies = 0, namings = 0; // copies begun (writes at the start of a file), namings
    bool signalled = false;
    bool has(const char *tag) const { return faults.contains(QLatin1String(tag)); }
    // The N of the tag "nameN", or 0.
    int number(const char *name) const
    {
        return QRegularExpression(QStringLiteral("\\b%1(\\d+)").arg(QLatin1String(name)))
            .match(faults)
            .captured(1)
            .toInt();
    }
    // How much a read of a file brings at most.
    std::size_t readSize(std::size_t size) const
    {
        return has("shortReads") ? std::min<std::size_t>(size, 1000) : size;
    }
    // A write, the first of a copy where `begins`, finds the disk full.
    bool full(bool begins)
    {
        copies += begins ? 1 : 0;
        return has("noSpace") && copies >= number("noSpace");
    }
    bool namingFails() { return ++namings == number("namingFails"); }
};

Plan &plan()
{
    static Plan plan;
    return plan;
}

#ifdef _WIN32

// A Win32 call that fails with `error`.
BOOL failWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// A track emptied through a handle of its own, as an editor that rewrites it would.
void empty(HANDLE file)
{
    const HANDLE writer = ReOpenFile(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (writer == INVALID_HANDLE_VALUE)
        return; // a track that stays as it is fails the case
    SetEndOfFile(writer);
    CloseHandle(writer);
}

} // namespace

BOOL systemReadFile(HANDLE file, void *data, DWORD size, DWORD *done)
{
    const BOOL read = ReadFile(file, data, DWORD(plan().readSize(size)), done, nullptr);
    if (plan().has("shrinks") && read && *done > 0)
        empty(file);
    return read;
}

BOOL systemWriteFile(HANDLE file, const void *data, DWORD size, DWORD *done)
{
    LARGE_INTEGER at{};
    const bool begins = SetFilePointerEx(file, at, &at, FILE_CURRENT) && at.QuadPart == 0;
    return plan().full(begins) ? failWith(ERROR_DISK_FULL)
                               : WriteFile(file, data, size, done, nullptr);
}

BOOL systemFlushFileBuffers(HANDLE file)
{
    return plan().has("flushFails") ? failWith(ERROR_IO_DEVICE) : FlushFileBuffers(file);
}

BOOL systemRenameByHandle(HANDLE file, FILE_RENAME_INFO *rename, DWORD size)
{
    return plan().namingFails() ? failWith(ERROR_IO_DEVICE)
                                : SetFileInformationByHandle(file, FileRenameInfo, rename, size);
}

BOOL systemCreateDirectory(const wchar_t *path)
{
    const BOOL made = CreateDirectoryW(path, nullptr);
    return plan().has("mkdirRace") && made ? failWith(ERROR_ALREADY_EXISTS) : made;
}

#else

int failWith(int error)
{
    errno = error;
    return -1;
}

// The files this process holds open that have no name any more.
int heldUnnamed()
{
    int held = 0;
    DIR *const fds = ::opendir("/proc/self/fd");
    while (const dirent *entry = fds ? ::readdir(fds) : nullptr) {
        struct stat status;
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != ::dirfd(fds) && ::fstat(fd, &status) == 0 &&
            S_ISREG(status.st_mode) && status.st_nlink == 0)
            ++held;
    }
    if (fds)
        ::closedir(fds);
    return held;
}

// Told through the stream the tool's own lines take, so that both keep their order.
void tell(const char *call, int fd)
{
    struct stat status;
    const char *what = ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) ? "folder" : "file";
    if (plan().has("calls"))
        std::printf("%s %s, holding %d\n", call, what, heldUnnamed());
}

// A flush, as the plan has it.
int flush(const char *name, int (*call)(int), int fd)
{
    tell(name, fd);
    if (plan().has("flushFails"))
        return failWith(EIO);
    if (plan().has("signalledFlush") && !plan().signalled) {
        plan().signalled = true;
        std::raise(SIGTERM);
        std::raise(SIGHUP);
    }
    return call(fd);
}

} // namespace

ssize_t systemRead(int fd, void *data, std::size_t size)
{
    struct stat status;
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const ssize_t n = ::read(fd, data, regular ? plan().readSize(size) : size);
    if (plan().has("shrinks") && n > 0 && regular) {
        const int emptied = ::truncate(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0);
        Q_UNUSED(emptied); // a track that stays as it is fails the case
    }
    return n;
}

ssize_t systemWrite(int fd, const void *data, std::size_t size)
{
    return plan().full(::lseek(fd, 0, SEEK_CUR) == 0) ? failWith(ENOSPC) : ::write(fd, data, size);
}

int systemFdatasync(int fd)
{
    return flush("fdatasync", ::fdatasync, fd);
}

int systemFsync(int fd)
{
    return flush("fsync", ::fsync, fd);
}

int systemSyncfs(int fd)
{
    return flush("syncfs", ::syncfs, fd);
}

int systemFstatfs(int fd, struct statfs *system)
{
    const int looked = ::fstatfs(fd, system);
    if (looked == 0 && plan().has("fatCard"))
        system->f_type = 0x4d44;
    return looked;
}

int systemLinkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    return plan().namingFails() ? failWith(EIO) : ::linkat(fromFolder, from, toFolder, to, flags);
}

int systemMkdirat(int folder, const char *name, mode_t mode)
{
    const int made = ::mkdirat(folder, name, mode);
    return plan().has("mkdirRace") && made == 0 ? failWith(EEXIST) : made;
}

int systemRenameat(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (plan().has("calls"))
        std::printf("rename\n");
    return plan().namingFails() ? failWith(EIO) : ::renameat(fromFolder, from, toFolder, to);
}

#endif
