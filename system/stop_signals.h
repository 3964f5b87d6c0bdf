// Stopping a render: the signals that would end the program only ask it to
// stop, so that it removes what it was writing before it ends.
#pragma once

namespace pluck {

// INT, TERM, HUP, QUIT, USR1, USR2 and ALRM (unless they were ignored when
// the program started, as in a background job) set the stop signal, which
// the render checks between chunks, and which ends any wait for input. PIPE
// is ignored, so that writing to a closed pipe is an error that is
// reported, and so is XFSZ (a file-size limit reached). Call before any file
// is opened for writing.
void catch_stop_signals();

// The signal that asked the render to stop, or 0.
int stop_signal();

// A descriptor that becomes readable once a stop signal has arrived, for a
// wait on input to watch beside the input (-1 before catch_stop_signals(),
// and on Windows, where a stop cancels the wait itself).
int stop_signal_fd();

// Once nothing half-written is left: ends the program as the stop signal
// would have ended it (without a core file for QUIT: a stopped render is no
// crash).
[[noreturn]] void end_by_stop_signal();

}  // namespace pluck
