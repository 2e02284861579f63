#include "write_behind.h"

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

void startWriteBack(QFileDevice &file, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    // A failure only means the final sync has more to do.
    ::sync_file_range(file.handle(), offset, length, SYNC_FILE_RANGE_WRITE);
#else
    Q_UNUSED(file);
    Q_UNUSED(offset);
    Q_UNUSED(length);
#endif
}
