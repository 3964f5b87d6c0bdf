#include "system/console_events_windows.h"

#include <windows.h>

namespace pluck {

namespace {

std::atomic<bool> console_quit{false};

// Runs on a thread of its own, made by the system for the event.
BOOL WINAPI on_console_event(DWORD event) {
    console_quit.store(true, std::memory_order_release);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Returning would end the process at once, sound cut off mid-buffer
        // and an exit status of the system's choosing. The program's own
        // return ends this thread with it.
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

const std::atomic<bool>& watch_console_quit() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return console_quit;
}

void flush_console_input() {
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
}

}  // namespace pluck
