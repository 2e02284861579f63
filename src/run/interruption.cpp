#include "run/interruption.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace
{

// The one piece of state the whole process shares: all a signal handler may safely do is set
// flags like these, and the copy looks at them once per block. Lock-free atomics, so that they
// are safe in a handler and seen alike by every thread.
std::atomic<int> caughtSignal{0};
std::atomic<int> caughtCount{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may set it");

extern "C" void onInterruption(int signal)
{
#ifdef _WIN32
    // Windows' C runtime puts back the default action before it calls a handler, and a second
    // Ctrl-C would end the process at once, its finished copies neither named nor told.
    std::signal(signal, onInterruption);
#endif
    int none = 0;
    caughtSignal.compare_exchange_strong(none, signal);
    if (caughtCount.load() < 2)
        ++caughtCount;
}

} // namespace

void catchInterruptions()
{
    // A reader of standard output that goes away (`gpx-rollover -v DIR | head`) ends the run as
    // a user's Ctrl-C would: the copy in progress given up, the finished ones named, the process
    // then ended by SIGPIPE, as a filter ends.
    // On Windows, Ctrl-Break is SIGBREAK: a user's interruption as much as Ctrl-C.
    for (const int signal : {SIGINT, SIGTERM,
#ifdef SIGHUP
                             SIGHUP,
#endif
#ifdef SIGBREAK
                             SIGBREAK,
#endif
#ifdef SIGPIPE
                             SIGPIPE
#endif
         }) {
        // A run started in the background by a shell has SIGINT ignored: keep it so.
        if (std::signal(signal, onInterruption) == SIG_IGN)
            std::signal(signal, SIG_IGN);
    }
}

int interruptingSignal()
{
    return caughtSignal;
}

int interruptionCount()
{
    return caughtCount;
}

void endByInterruption(int signal)
{
#ifdef _WIN32
    // Windows ends a program that Ctrl-C stops with STATUS_CONTROL_C_EXIT (the C runtime's own
    // default action would exit with 3, which a script cannot tell from a failure).
    static_cast<void>(signal);
    std::_Exit(int(0xC000013AU));
#else
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal); // where the default action does not end the process
#endif
}
