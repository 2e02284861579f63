#include "interruption.h"

#include <csignal>
#include <cstdlib>
#include <initializer_list>

namespace
{

// The one piece of state the whole process shares: all a signal handler may safely do is set
// flags like these, and the copy looks at them once per block.
volatile std::sig_atomic_t caughtSignal = 0;
volatile std::sig_atomic_t caughtCount = 0;

extern "C" void onInterruption(int signal)
{
    if (caughtSignal == 0)
        caughtSignal = signal;
    if (caughtCount < 2)
        caughtCount = caughtCount + 1;
}

} // namespace

void catchInterruptions()
{
    for (const int signal : {SIGINT, SIGTERM,
#ifdef SIGHUP
                             SIGHUP
#endif
         }) {
        // A run started in the background by a shell has SIGINT ignored: keep it so.
        if (std::signal(signal, onInterruption) == SIG_IGN)
            std::signal(signal, SIG_IGN);
    }
}

int interruption()
{
    return caughtSignal;
}

int interruptions()
{
    return caughtCount;
}

void endByInterruption(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal); // where the default action does not end the process
}
