// System calls that fail as the plan in GPX_ROLLOVER_FAULTS says, for the tool built to be
// tested so: "shortReads" (every read of a file brings at most 1000 bytes), "noSpaceN" (the disk is
// full from the Nth write on: it and every write after it fail with ENOSPC), "flushFails" (every
// flush fails with EIO), "namingFailsN" (the Nth naming of a copy fails with EIO).
#include "system_calls.h"

#include <QByteArray>
#include <QRegularExpression>

#include <cerrno>

#include <sys/stat.h>

namespace
{

struct Plan {
    bool shortReads = false, flushFails = false;
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

} // namespace

ssize_t systemRead(int fd, void *data, std::size_t size)
{
    struct stat status;
    if (plan().shortReads && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && size > 1000)
        size = 1000;
    return ::read(fd, data, size);
}

ssize_t systemWrite(int fd, const void *data, std::size_t size)
{
    const bool full = plan().failingWrite > 0 && ++plan().writes >= plan().failingWrite;
    return full ? failWith(ENOSPC) : ::write(fd, data, size);
}

int systemFdatasync(int fd)
{
    return plan().flushFails ? failWith(EIO) : ::fdatasync(fd);
}

int systemSyncfs(int fd)
{
    return plan().flushFails ? failWith(EIO) : ::syncfs(fd);
}

int systemLinkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    return ++plan().namings == plan().failingNaming
               ? failWith(EIO)
               : ::linkat(fromFolder, from, toFolder, to, flags);
}

int systemRenameat(int fromFolder, const char *from, int toFolder, const char *to)
{
    return ++plan().namings == plan().failingNaming ? failWith(EIO)
                                                    : ::renameat(fromFolder, from, toFolder, to);
}
