// Ctrl-Z and `fg` for a program that reads its terminal raw, where Ctrl-Z
// arrives as a byte: SIGTSTP and SIGCONT only set flags, and the program
// stops itself once it has given the terminal back.
#pragma once

namespace pluck {

// Puts the two handlers in place.
void catch_job_control_signals();

// SIGTSTP has come since the last call.
bool take_suspend_signal();

// SIGCONT has come since the last call.
bool take_continue_signal();

// Stops the process as Ctrl-Z would have stopped it, and returns once it is
// continued (`fg`), both flags cleared.
void stop_process();

}  // namespace pluck
