// Windows: the console's control events stand for the signals: Ctrl-C,
// Ctrl-Break, closing the console window, logging off and shutting down.
// The system runs the handler on a thread of its own.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "system/crash_handlers.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

// How often the handler interrupts the main thread's wait for input again,
// in case the wait began just after it last did.
constexpr DWORD cancel_interval_ms = 10;

std::atomic<int> caught_stop_signal{0};
std::atomic<bool> quit_flag{false};
std::atomic<int> requests{0};
// The thread whose waits a stop cancels (pluck-render's), or none.
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
    int none = 0;
    caught_stop_signal.compare_exchange_strong(none, signal_for(event));
    requests.fetch_add(1);
    quit_flag.store(true, std::memory_order_release);
    // Returning after a close, logoff or shutdown would let the system end
    // the process at once: sound cut off mid-buffer, a temporary file still
    // there and an exit status of the system's choosing. The handler holds
    // on until the program has cleaned up and ended by itself (which ends
    // this thread too).
    if (main_thread != nullptr) {
        // A read of the score from a pipe or the console may be waiting in
        // the main thread; it returns once cancelled, and the main thread
        // sees the stop.
        for (;;) {
            CancelSynchronousIo(main_thread);
            Sleep(cancel_interval_ms);
        }
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

void catch_stop_signals() {
    catch_crashes();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

const std::atomic<bool>& catch_quit_signals() {
    catch_crashes();
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return quit_flag;
}

int stop_signal() {
    return caught_stop_signal.load();
}

int stop_requests() {
    return requests.load();
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
