#include "Interrupt.h"

#include <csignal>

namespace duvoffline {

namespace {

volatile std::sig_atomic_t caught = 0;

extern "C" void onSignal(int signal) { caught = signal; }

struct sigaction savedInt, savedTerm;
int depth = 0;

}  // namespace

InterruptCatcher::InterruptCatcher() {
    // A nested catcher (a run inside `duv run DIR DIR...`'s process) keeps
    // a signal that came before it.
    if (depth++ > 0) return;
    caught = 0;
    struct sigaction a {};
    a.sa_handler = onSignal;
    sigemptyset(&a.sa_mask);
    // SA_RESETHAND: the handler catches one signal; the next one has the
    // default effect and ends the process.
    a.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &a, &savedInt);
    sigaction(SIGTERM, &a, &savedTerm);
}

InterruptCatcher::~InterruptCatcher() {
    if (--depth > 0) return;
    sigaction(SIGINT, &savedInt, nullptr);
    sigaction(SIGTERM, &savedTerm, nullptr);
}

int caughtSignal() { return caught; }

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal"; }

}  // namespace duvoffline
