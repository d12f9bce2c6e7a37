// Ctrl-C (SIGINT) and SIGTERM while duv runs: the first one asks the run to
// end like a stopped measurement; a second one ends the process at once, the
// default way, for a run that does not come to an end.
#pragma once

namespace duvoffline {

// Exit status of a run ended by a signal (both signals: the run ended
// orderly, as after Ctrl-C).
constexpr int kInterruptedExit = 130;

// Catches SIGINT and SIGTERM while it lives; the dispositions before are
// restored when it ends.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;
};

// The signal caught since the outermost catcher began, or 0.
int caughtSignal();
// "SIGINT", "SIGTERM".
const char* signalName(int signal);

}  // namespace duvoffline
