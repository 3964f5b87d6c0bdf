// The signals (on Windows, the console's events) that would end a program
// at once: each program says which of them it handles itself, and the
// others end it only after the cleanup list has run (system/cleanup.h), so
// that no terminal is left raw and no temporary file behind.
#pragma once

#include <atomic>

namespace pluck {

// pluck-render: the quit and stop signals of system/ending_signals_linux.h
// (INT, TERM, HUP, QUIT, USR1, USR2, ALRM, XCPU, VTALRM, PROF, IO, PWR and
// STKFLT, unless they were ignored when the program started, as in a
// background job) set the stop signal, which the render checks between
// chunks, and which ends any wait for input. PIPE is ignored, so that
// writing to a closed pipe is an error that is reported, and so is XFSZ (a
// file-size limit reached). The crash handlers (system/crash_handlers.h)
// are put in place too. On Windows Ctrl-C, Ctrl-Break, closing the
// console window, logging off and shutting down do the same, and cancel the
// main thread's wait for input until the program has ended by itself. Call
// before any file is opened for writing.
void catch_stop_signals();

// pluck: INT, TERM and HUP set the returned flag, which the main loop
// watches, and the stop signal; however many come, and however close
// together, the program ends once, by itself, its recording complete. The
// other stop signals run the cleanup list and end it at once (unless they
// were ignored when it started); PIPE and XFSZ are ignored. On Windows
// Ctrl-C, Ctrl-Break, closing the console window, logging off and shutting
// down set the flag; for the last three the system ends the process once
// the handler returns, so the handler holds on until the program has
// stopped its sound and returned by itself, with status 0.
const std::atomic<bool>& catch_quit_signals();

// The first signal that asked the program to stop, or 0.
int stop_signal();

// How many times a stop was asked for so far: a program already on its way
// out that is asked again may skip what it would wait for.
int stop_requests();

// A descriptor that becomes readable once a stop signal has arrived, for a
// wait on input to watch beside the input (-1 before catch_stop_signals(),
// and on Windows, where a stop cancels the wait itself).
int stop_signal_fd();

// Once nothing half-written is left: ends the program as the stop signal
// would have ended it (without a core file for QUIT or XCPU: a stopped
// render is no crash).
[[noreturn]] void end_by_stop_signal();

}  // namespace pluck
