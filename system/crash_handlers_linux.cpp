#include <signal.h>

#include "system/cleanup.h"
#include "system/crash_handlers.h"

namespace pluck {

namespace {

constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

// Installed with SA_RESETHAND: the signal raised again takes its default
// course at once (SA_NODEFER), whether it came from a fault or from kill.
void on_crash_signal(int signal_number) {
    run_cleanups();
    raise(signal_number);
}

}  // namespace

void catch_crashes() {
    struct sigaction action {};
    action.sa_handler = on_crash_signal;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal_number : crash_signals) {
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace pluck
