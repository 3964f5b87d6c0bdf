// The console around the instrument on Windows: the ways a player can end
// it other than Escape, and what it leaves behind for the shell.
#pragma once

#include <atomic>

namespace pluck {

// Ctrl-C, Ctrl-Break, closing the console window, logging off and shutting
// down all set the returned flag, which the main loop watches; for the last
// three the system ends the process once the handler returns, so the
// handler holds on until the program has stopped its sound and returned by
// itself, with status 0.
const std::atomic<bool>& watch_console_quit();

// Discards the key presses that queued up in the console while the
// instrument played, so that the shell does not read them as typed text.
// Nothing when standard input is not a console.
void flush_console_input();

}  // namespace pluck
