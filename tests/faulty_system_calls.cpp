// System calls that fail as the plan in GPX_ROLLOVER_FAULTS says, for the tool built to be
// tested so: "shortReads" (every read of a file brings at most 1000 bytes), "noSpaceN" (the disk is
// full from the Nth write on: it and every write after it fail with ENOSPC), "flushFails" (every
// flush fails with EIO), "namingFailsN" (the Nth naming of a copy fails with EIO), "shrinks" (a
// track is emptied after its first read, as an editor rewriting it would), "signalledFlush"
// (SIGTERM, then SIGHUP, come while the first flush waits, as a user who gives up on a slow card),
// "mkdirRace" (another run makes each folder just before this one does).
#include "fs/system_calls.h"

#include <QByteArray>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>

#include <string>
#include <sys/stat.h>

namespace
{

struct Plan {
    bool shortReads = false, flushFails = false, shrinks = false, signalledFlush = false,
         mkdirRace = false;
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

// A flush, as the plan has it.
int flush(int (*call)(int), int fd)
{
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
    return flush(::fdatasync, fd);
}

int systemSyncfs(int fd)
{
    return flush(::syncfs, fd);
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
    return ++plan().namings == plan().failingNaming ? failWith(EIO)
                                                    : ::renameat(fromFolder, from, toFolder, to);
}
