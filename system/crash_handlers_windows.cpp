#include <windows.h>

#include <csignal>

#include "system/cleanup.h"
#include "system/crash_handlers.h"

namespace pluck {

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER earlier_filter = nullptr;

LONG WINAPI on_crash(EXCEPTION_POINTERS* exception) {
    run_cleanups();
    return earlier_filter != nullptr ? earlier_filter(exception) : EXCEPTION_CONTINUE_SEARCH;
}

// abort() raises SIGABRT, whose default ends the program without an
// exception.
void on_abort(int signal_number) {
    run_cleanups();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void catch_crashes() {
    // Put in place again, it must not call itself as the earlier filter.
    const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(on_crash);
    if (previous != on_crash) {
        earlier_filter = previous;
    }
    std::signal(SIGABRT, on_abort);
}

}  // namespace pluck
