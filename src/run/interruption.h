// Ctrl-C, kill and a closed terminal end a run early: the copy in progress is given up with its
// temporary file, no further file is begun, the copies already finished are made durable and
// named, and the process then ends by the signal, so that a shell or a script sees it was
// interrupted. A second signal gives up the copies not yet named as well.
#pragma once

// From now on SIGINT, SIGTERM, SIGHUP, SIGPIPE and SIGBREAK (where the system has them) ask the
// run to stop, unless the process was started with them ignored.
void catchInterruptions();

// The signal that asked the run to stop, or 0.
int interruptingSignal();

// How many signals have asked it so far.
int interruptionCount();

// Ends the process by `signal` with its default action, as if it had never been caught; on
// Windows, as a console's Ctrl-C ends a program.
[[noreturn]] void endByInterruption(int signal);
