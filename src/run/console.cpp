#include "run/console.h"

#include <cerrno>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#endif
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

#ifndef Q_OS_WIN
namespace
{

// The length of the UTF-8 sequence at `at`, or 0 where it is no text: a stray or missing
// continuation byte, an overlong form, a surrogate, or more than U+10FFFF.
int utf8Length(const uchar *at, int left)
{
    const uchar lead = at[0];
    const int length = lead < 0x80                   ? 1
                       : lead >= 0xC2 && lead < 0xE0 ? 2
                       : lead >= 0xE0 && lead < 0xF0 ? 3
                       : lead >= 0xF0 && lead < 0xF5 ? 4
                                                     : 0;
    if (length == 0 || length > left)
        return 0;
    for (int i = 1; i < length; ++i)
        if ((at[i] & 0xC0) != 0x80)
            return 0;
    if ((lead == 0xE0 && at[1] < 0xA0) || (lead == 0xED && at[1] >= 0xA0) ||
        (lead == 0xF0 && at[1] < 0x90) || (lead == 0xF4 && at[1] >= 0x90))
        return 0;
    return length;
}

// A character that would break a report's line or drive the terminal: C0 and C1 controls,
// DEL, the Unicode line and paragraph separators, and the marks that reorder text shown.
bool breaksLine(const uchar *at, int length)
{
    if (length == 1)
        return at[0] < 0x20 || at[0] == 0x7F;
    const uint c = length == 2   ? (at[0] & 0x1Fu) << 6 | (at[1] & 0x3Fu)
                   : length == 3 ? (at[0] & 0x0Fu) << 12 | (at[1] & 0x3Fu) << 6 | (at[2] & 0x3Fu)
                                 : 0;
    return (c >= 0x80 && c < 0xA0) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace
#endif

QString shownName(const QByteArray &name)
{
#ifdef Q_OS_WIN
    // A Windows name is text, and holds no control character; its separator is a backslash, as
    // its users write a path, so a path joined with '/' is shown with backslashes throughout.
    QString shown;
    const QString text = QString::fromUtf8(name);
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const uint u = c.unicode();
        shown += c == QLatin1Char('/') ? QLatin1Char('\\')
                 : u < 0x20 || (u >= 0x7F && u < 0xA0) || (u >= 0x2028 && u <= 0x202E) ||
                         (u >= 0x2066 && u <= 0x2069)
                     ? QLatin1Char('?')
                     : c;
    }
    return shown;
#else
    QByteArray shown;
    const auto escape = [&shown](uchar byte) {
        shown += "\\x" + QByteArray::number(byte, 16).rightJustified(2, '0');
    };
    const auto *bytes = reinterpret_cast<const uchar *>(name.constData());
    for (int i = 0; i < name.size();) {
        const int length = utf8Length(bytes + i, name.size() - i);
        if (length == 0) {
            escape(bytes[i++]);
        } else if (breaksLine(bytes + i, length)) {
            for (const int end = i + length; i < end;)
                escape(bytes[i++]);
        } else {
            if (bytes[i] == '\\')
                shown += '\\'; // so that a backslash is told from an escaped byte
            shown.append(name.constData() + i, length);
            i += length;
        }
    }
    return QString::fromUtf8(shown);
#endif
}

int printLine(std::FILE *stream, const QString &line)
{
    // Reports in the order they happened, where both streams reach the same file or pipe.
    if (stream != stdout)
        std::fflush(stdout);
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        const QString text = line + QLatin1String("\r\n");
        std::fflush(stream);
        DWORD written = 0;
        return WriteConsoleW(handle, reinterpret_cast<const wchar_t *>(text.utf16()),
                             DWORD(text.size()), &written, nullptr)
                   ? 0
                   : EIO;
    }
#endif
    const QByteArray text = line.toUtf8() + '\n';
    errno = 0;
    if (std::fwrite(text.constData(), 1, std::size_t(text.size()), stream) !=
            std::size_t(text.size()) ||
        std::fflush(stream) != 0)
        return errno != 0 ? errno : EIO;
    return 0;
}

StandardOutput guardStandardStreams()
{
    StandardOutput output;
#ifdef Q_OS_UNIX
    // A descriptor a run opens takes the lowest number free: with 1 closed, the first copy
    // would be fd 1, and every line printed would land in it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            if (fd == 1)
                output.closed = true;
            const int null = ::open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) // below 3, it landed where it was missing
                ::close(null);
        }
    }
#endif
    return output;
}

bool printOutput(StandardOutput &output, const QString &line)
{
    if (output.error == 0 && output.closed)
        output.error = EBADF;
    if (output.error == 0)
        output.error = printLine(stdout, line);
    return output.error == 0;
}

bool consoleIsOwn()
{
#ifdef Q_OS_WIN
    // The program alone on its console, and reading and writing that console: a pipe or a file
    // in between means something else is there to read what it says.
    DWORD processes[2], mode = 0;
    return GetConsoleProcessList(processes, 2) == 1 &&
           GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
#else
    return false;
#endif
}

void waitForEnter()
{
    printLine(stdout, QStringLiteral("Press Enter to close this window."));
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
    }
}
