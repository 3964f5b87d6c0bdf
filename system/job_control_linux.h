// Ctrl-Z and `fg` for a program that reads its terminal raw, where Ctrl-Z
// arrives as a byte: SIGTSTP and SIGCONT only set flags, and the program
// stops itself once it has given the terminal back. A program that is not
// in its terminal's foreground leaves the terminal alone: the shell has it
// (and changing its settings from the background would stop the program
// with SIGTTOU).
#pragma once

namespace pluck {

// Puts the two handlers in place.
void catch_job_control_signals();

// SIGTSTP has come since the last call.
bool take_suspend_signal();

// SIGCONT has come since the last call.
bool take_continue_signal();

// Stops the process as Ctrl-Z would have stopped it, and returns once it is
// continued (`fg`, `bg`, or a `kill` that continues it), both flags
// cleared. False when it could not stop: in an orphaned process group,
// with nobody to continue it.
bool stop_process();

// The process may change terminal `fd`'s settings without SIGTTOU: it is in
// the terminal's foreground process group, or `fd` is not a terminal that
// controls a session with other process groups (a hung-up one, say).
// Async-signal-safe.
bool owns_terminal(int fd);

// After a stop: stops again until the process is continued in the
// foreground of terminal `fd` (true). False without waiting once a stop
// signal (system/stop_signals.h) has come, and when it cannot stop: the
// program is to end, leaving the terminal as the shell has it.
bool wait_for_foreground(int fd);

}  // namespace pluck
