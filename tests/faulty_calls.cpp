// System calls that fail as the plan in GPX_ROLLOVER_FAULTS says, for the tool built to be
// tested so: the tags that the table at the top of tests/cli.test marks FAULTY, each said there.
#include "fs/faultable_calls.h"

#include <QByteArray>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/stat.h>

namespace
{

struct Plan {
    bool shortReads = false, flushFails = false, shrinks = false, signalledFlush = false,
         mkdirRace = false, fatCard = false, calls = false;
    int failingWrite = 0, failingNaming = 0;
    int writes = 0, namings = 0;
};

// The one plan of this test build, read once.
Plan &plan()
{
    static Plan plan = [] {
        Plan p;
        const QString faults = QString::fromLocal8Bit(qgetenv("GPX_ROLLOVER_FAULTS"));
        const auto number = [&](const char *name) {
            return QRegularExpression(QStringLiteral("\\b%1(\\d+)").arg(QLatin1String(name)))
                .match(faults)
                .captured(1)
                .toInt();
        };
        p.shortReads = faults.contains(QLatin1String("shortReads"));
        p.flushFails = faults.contains(QLatin1String("flushFails"));
        p.shrinks = faults.contains(QLatin1String("shrinks"));
        p.signalledFlush = faults.contains(QLatin1String("signalledFlush"));
        p.mkdirRace = faults.contains(QLatin1String("mkdirRace"));
        p.fatCard = faults.contains(QLatin1String("fatCard"));
        p.calls = faults.contains(QLatin1String("calls"));
        p.failingWrite = number("noSpace");
        p.failingNaming = number("namingFails");
        return p;
    }();
    return plan;
}

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
    if (plan().calls)
        std::printf("%s %s, holding %d\n", call, what, heldUnnamed());
}

// A flush, as the plan has it.
int flush(const char *name, int (*call)(int), int fd)
{
    tell(name, fd);
    if (plan().flushFails)
        return failWith(EIO);
    if (plan().signalledFlush) {
        plan().signalledFlush = false;
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
    if (plan().shortReads && regular && size > 1000)
        size = 1000;
    const ssize_t n = ::read(fd, data, size);
    if (plan().shrinks && n > 0 && regular) {
        const int emptied = ::truncate(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0);
        Q_UNUSED(emptied); // a track that stays as it is fails the case
    }
    return n;
}

ssize_t systemWrite(int fd, const void *data, std::size_t size)
{
    const bool full = plan().failingWrite > 0 && ++plan().writes >= plan().failingWrite;
    return full ? failWith(ENOSPC) : ::write(fd, data, size);
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
    if (looked == 0 && plan().fatCard)
        system->f_type = 0x4d44;
    return looked;
}

int systemLinkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    return ++plan().namings == plan().failingNaming
               ? failWith(EIO)
               : ::linkat(fromFolder, from, toFolder, to, flags);
}

int systemMkdirat(int folder, const char *name, mode_t mode)
{
    const int made = ::mkdirat(folder, name, mode);
    return plan().mkdirRace && made == 0 ? failWith(EEXIST) : made;
}

int systemRenameat(int fromFolder, const char *from, int toFolder, const char *to)
{
    if (plan().calls)
        std::printf("rename\n");
    return ++plan().namings == plan().failingNaming ? failWith(EIO)
                                                    : ::renameat(fromFolder, from, toFolder, to);
}
