// The control thread's loop: reads the keyboard, quits on Escape, runs the
// auto-play while Space is held and plucks the note keys pressed.
#pragma once

#include "control/key_decoder.h"
#include "control/terminal.h"

namespace pluck {

// Longest wait on the keyboard while Space is up and no key timing is due.
// Input and signals end a wait at once; this only bounds how late a signal
// that lands just before a wait is seen.
constexpr int idle_wait_ms = 100;

// Plays from `t` until Escape, Ctrl-C, a quit signal or the end of input.
// Each pass: the quit check first; then one auto-play step if Space is down
// (its 1 ms sleep is a wait on the keyboard, so a key ends it at once);
// then the note keys pressed since the last pass, in key order. With Space
// up the loop waits on the keyboard instead of spinning.
void run_main_loop(Terminal& t, KeyDecoder& decoder);

}  // namespace pluck
