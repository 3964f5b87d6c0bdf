#include <signal.h>

#include "system/cleanup.h"
#include "system/crash_handlers.h"
#include "system/ending_signals_linux.h"
#include "system/signal_handler_linux.h"

namespace pluck {

namespace {

// Installed with SA_RESETHAND: the signal raised again takes its default
// course at once (SA_NODEFER), whether it came from a fault or from kill.
void on_crash_signal(int signal_number) {
    run_cleanups();
    raise(signal_number);
}

}  // namespace

void catch_crashes() {
    for_each_ending_signal(Ending::crash, [](int signal_number) {
        install_signal_handler(signal_number, on_crash_signal, SA_RESETHAND | SA_NODEFER);
    });
}

}  // namespace pluck
