// The terminal the instrument is played from: raw mode, the keyboard
// protocol, bracketed paste and focus reports switched on for the session and
// undone on every way out (Escape, Ctrl-C, SIGTERM, SIGHUP, SIGINT, an error,
// a crash); Ctrl-Z suspends with the terminal restored and comes back raw.
//
// Standard input that is not a terminal is read as it is: its bytes are key
// presses under the plain-byte rules, and at its end the notes ring out.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "keys/key_decoder.h"
#include "system/job_control_linux.h"

namespace pluck {

// How long the terminal may take to answer the keyboard-protocol query
// before it is taken to be a plain terminal.
constexpr int protocol_answer_timeout_ms = 1000;

struct Terminal {
    int fd = 0;                      // keys are read here (standard input)
    bool raw = false;                // a terminal, in raw mode for this session
    bool escape_codes = false;       // it takes control sequences (it is no dumb terminal)
    bool keyboard_protocol = false;  // the protocol's flags are pushed
    bool input_ended = false;        // a read found the end of input
};

// Whether a terminal of type `term` (the TERM variable; null when unset)
// takes control sequences and answers queries. A dumb or unknown one gets
// neither, and no answer is waited for.
bool takes_escape_codes(const char* term);

// If `fd` is a terminal: saves its settings, adds their restoring to the
// cleanup list (system/cleanup.h: a crash or a signal that ends the program
// restores them too), takes Ctrl-Z's signals (system/job_control_linux.h)
// and puts the terminal in raw mode; then, if `term` takes escape
// codes, asks whether it speaks the keyboard protocol (bytes read meanwhile
// go to `decoder`) and switches the session's modes on. A terminal that
// cannot be put in raw mode is read like any other input.
void open_terminal(Terminal& t, int fd, KeyDecoder& decoder, const char* term);

// Puts the terminal back as it was found. Safe to call more than once, and
// also run by the cleanup list.
void close_terminal(Terminal& t);

// Ctrl-Z or SIGTSTP: restores the terminal, stops the process, and on `fg`
// puts the terminal back in the session's modes, with every key released.
// Continued in the background, it stops again until `fg`; asked to quit
// meanwhile (`kill %1`), it leaves the terminal as the shell has it.
void suspend_terminal(Terminal& t, KeyDecoder& decoder);

// After a stop that did not go through suspend_terminal() (SIGSTOP, say):
// raw mode again, the session's modes and keyboard protocol in force again
// (whoever had the terminal meanwhile may have reset them), every key
// released.
void resume_terminal(Terminal& t, KeyDecoder& decoder);

// SIGTERM, SIGHUP or SIGINT has come (system/stop_signals.h): quit like
// Escape, however many come. SIGTSTP and SIGCONT are taken with take_suspend_signal() and
// take_continue_signal().
bool quit_signalled();

// Waits up to `timeout_ms` (0: just looks) for input, the end of input or a
// signal. True when a read would not block. Once the input has ended, only
// time and signals end the wait.
bool wait_for_input(const Terminal& t, int timeout_ms);

// One read of whatever input is there, into `buffer`: the byte count, 0 at
// the end of input or on an error that ends it (and from then on), -1 when
// there was nothing (interrupted, or not ready).
ssize_t read_input(Terminal& t, uint8_t* buffer, size_t capacity);

}  // namespace pluck
