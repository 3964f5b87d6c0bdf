// The control thread's loop: reads the keyboard, quits on Escape, runs the
// auto-play while Space is held and plucks the note keys pressed.
#pragma once

#include <cstdint>

#include "keys/key_decoder.h"
#include "keys/terminal.h"

namespace pluck {

// Longest wait on the keyboard while Space is up and no key timing is due.
// Input and signals end a wait at once; this only bounds how late a signal
// that lands just before a wait is seen.
constexpr int idle_wait_ms = 100;
// When input that is no terminal ends (`printf zxcv | pluck`), the notes
// already plucked ring this long after the last one before the program ends,
// as long as the offline renderer leaves after a score's last event: counted
// from when the audio thread has taken the last plucks, so that all of it is
// heard however late the device starts, which the loop checks this often.
constexpr uint32_t ring_out_ms = 3000;
constexpr int32_t handover_poll_ms = 5;
// Keys played just before a quit are taken by the audio thread before it is
// asked to stop, so that they are heard and recorded. A device that takes
// nothing counts as silent within a second, and from then the thread keeps
// time without it: the quit waits at most this long for them.
constexpr uint32_t handover_wait_ms = 1500;
// With the keyboard protocol, Escape, Ctrl-C or Ctrl-Z act on the press, and
// the keys' releases follow. They must be read before the protocol is
// switched off, or a release already on its way reaches the shell as text:
// the loop waits for them up to this long (a quick tap's release comes
// sooner; a key held longer is released after the protocol is off, which
// reports nothing).
constexpr uint32_t key_release_wait_ms = 200;

// Plays from `t` until Escape, Ctrl-C, a quit signal or the end of input.
// Each pass: the quit check first; then one auto-play step if Space is down
// (its 1 ms sleep is a wait on the keyboard, so a key ends it at once);
// then the note keys pressed since the last pass, in key order. With Space
// up the loop waits on the keyboard instead of spinning. At the end of input
// that is no terminal, the loop goes on until the notes have rung out.
void run_main_loop(Terminal& t, KeyDecoder& decoder);

}  // namespace pluck
