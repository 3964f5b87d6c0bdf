// Windows: the console's control events stand for the signals. Ctrl-C,
// Ctrl-Break, closing the console window, logging off and shutting down ask
// the render to stop; the system runs the handler on a thread of its own.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "system/stop_signals.h"

namespace pluck {

namespace {

// How often the handler interrupts the main thread's wait for input again,
// in case the wait began just after it last did.
constexpr DWORD cancel_interval_ms = 10;

std::atomic<int> caught_stop_signal{0};
HANDLE main_thread = nullptr;

int signal_for(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return SIGINT;
        case CTRL_BREAK_EVENT:
            return SIGBREAK;
        default:
            return SIGTERM;
    }
}

BOOL WINAPI on_console_event(DWORD event) {
    caught_stop_signal.store(signal_for(event));
    // A read of the score from a pipe or the console may be waiting in the
    // main thread; it returns once cancelled, and the main thread sees the
    // stop. The handler keeps at it until the program has cleaned up and
    // ended (which ends this thread too): returning after a close, logoff or
    // shutdown would let the system end the process at once, its temporary
    // file still there.
    for (;;) {
        CancelSynchronousIo(main_thread);
        Sleep(cancel_interval_ms);
    }
}

}  // namespace

void catch_stop_signals() {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int stop_signal() {
    return caught_stop_signal.load();
}

int stop_signal_fd() {
    return -1;
}

void end_by_stop_signal() {
    // As a console program ended by Ctrl-C ends. exit() rather than
    // ExitProcess(), so that the console is left as it was found.
    std::fflush(stderr);
    std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

}  // namespace pluck
