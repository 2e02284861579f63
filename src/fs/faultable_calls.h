// The calls through which a copy's bytes come and go and reach the disk under their name, and the
// one that tells what a flush reaches there. A test build puts in their place ones that fail on
// purpose (tests/faulty_calls.cpp): a read that falls short, a full disk, a flush or a
// naming that fails, a memory card's file system, which a run on a real disk cannot stage.
#pragma once

#ifdef _WIN32
#include <windows.h>
#undef CopyFile // the Win32 macro for CopyFileW would rename the copy's own type

#ifdef GPX_ROLLOVER_FAULTS
BOOL systemReadFile(HANDLE file, void *data, DWORD size, DWORD *done);
BOOL systemWriteFile(HANDLE file, const void *data, DWORD size, DWORD *done);
BOOL systemFlushFileBuffers(HANDLE file);
BOOL systemRenameByHandle(HANDLE file, FILE_RENAME_INFO *rename, DWORD size);
BOOL systemCreateDirectory(const wchar_t *path);
#else
inline BOOL systemReadFile(HANDLE file, void *data, DWORD size, DWORD *done)
{
    return ReadFile(file, data, size, done, nullptr);
}
inline BOOL systemWriteFile(HANDLE file, const void *data, DWORD size, DWORD *done)
{
    return WriteFile(file, data, size, done, nullptr);
}
inline BOOL systemFlushFileBuffers(HANDLE file)
{
    return FlushFileBuffers(file);
}
inline BOOL systemRenameByHandle(HANDLE file, FILE_RENAME_INFO *rename, DWORD size)
{
    return SetFileInformationByHandle(file, FileRenameInfo, rename, size);
}
inline BOOL systemCreateDirectory(const wchar_t *path)
{
    return CreateDirectoryW(path, nullptr);
}
#endif

#else
#include <cstddef>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#ifdef GPX_ROLLOVER_FAULTS
ssize_t systemRead(int fd, void *data, std::size_t size);
ssize_t systemWrite(int fd, const void *data, std::size_t size);
int systemFdatasync(int fd);
int systemFsync(int fd);
int systemSyncfs(int fd);
#ifdef __linux__
int systemFstatfs(int fd, struct statfs *system);
#endif
int systemLinkat(int fromFolder, const char *from, int toFolder, const char *to, int flags);
int systemRenameat(int fromFolder, const char *from, int toFolder, const char *to);
int systemMkdirat(int folder, const char *name, mode_t mode);
#else
inline ssize_t systemRead(int fd, void *data, std::size_t size)
{
    return ::read(fd, data, size);
}
inline ssize_t systemWrite(int fd, const void *data, std::size_t size)
{
    return ::write(fd, data, size);
}
inline int systemFdatasync(int fd)
{
    return ::fdatasync(fd);
}
inline int systemFsync(int fd)
{
    return ::fsync(fd);
}
#ifdef __linux__
inline int systemSyncfs(int fd)
{
    return ::syncfs(fd);
}
inline int systemFstatfs(int fd, struct statfs *system)
{
    return ::fstatfs(fd, system);
}
#endif
inline int systemLinkat(int fromFolder, const char *from, int toFolder, const char *to, int flags)
{
    return ::linkat(fromFolder, from, toFolder, to, flags);
}
inline int systemRenameat(int fromFolder, const char *from, int toFolder, const char *to)
{
    return ::renameat(fromFolder, from, toFolder, to);
}
inline int systemMkdirat(int folder, const char *name, mode_t mode)
{
    return ::mkdirat(folder, name, mode);
}
#endif
#endif
