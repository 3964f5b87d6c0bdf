// Turns the bytes a terminal sends into the instrument's two keyboard
// readings: "down now" for Escape and Space, "pressed since the last look"
// for the eight note keys. Pure: bytes and the millisecond they were read go
// in, readings come out, so every rule here is testable without a terminal.
//
// Two kinds of terminal are understood at once:
// - Terminals speaking the kitty keyboard protocol (flags 11) send every key
//   as CSI code[:alt];modifiers[:event]u with press (1), repeat (2) and
//   release (3) events, so Space's hold is exact.
// - Every other terminal sends plain bytes and auto-repeats a held key; the
//   timing rules below turn that back into presses and a held Space, and
//   keep a player's typing from being mistaken for a terminal's sequences.
#pragma once

#include <cstddef>
#include <cstdint>

#include "play/note_keys.h"

namespace pluck {

// Plain terminals send no releases, only the keyboard's auto-repeat: a held
// key's byte once, again after the keyboard's repeat delay, then once every
// repeat interval. A keyboard repeats only the key pressed last. The decoder
// learns the delay and the interval from the repeats it sees (Space holds and
// note holds), and until then assumes them to lie within these bounds.
constexpr uint32_t repeat_delay_min_ms = 150;
constexpr uint32_t repeat_delay_max_ms = 1000;
constexpr uint32_t repeat_interval_min_ms = 10;      // shorter gaps are reads bunched up, not timing
constexpr uint32_t repeat_interval_max_ms = 100;     // 10/s: slower gaps are not learned as a rate
constexpr uint32_t repeat_interval_unknown_ms = 40;  // the slowest common rate, 25/s
// How far a repeat may stray from the learned timing (the terminal, the
// system and a remote link all add jitter).
constexpr uint32_t repeat_delay_tolerance_ms = 40;
constexpr uint32_t repeat_interval_slack_ms = 30;
// Two bytes of one key closer than this are never two presses: nobody
// releases and presses a key again that fast.
constexpr uint32_t retap_min_ms = 30;
// Plain-byte Space counts as held this long after its first byte: longer than
// the usual delay (250-660 ms) before a keyboard starts repeating.
constexpr uint32_t space_hold_first_ms = 700;
// Once repeats flow, Space is held until three repeat intervals pass without
// a byte, but never less than this (reads can bunch up under load).
constexpr uint32_t space_hold_repeat_intervals = 3;
constexpr uint32_t space_hold_min_ms = 90;
// An ESC byte with nothing after it for this long is the Escape key; sooner,
// it starts an escape sequence.
constexpr uint32_t lone_escape_ms = 30;
// A plain terminal sends a control sequence, a mouse report or a paste in
// one burst. A pause this long inside one means its bytes were typed (Alt+[
// then more keys): the decoder drops it and reads keys again, so that no
// typed bytes can leave Escape and Ctrl-C dead.
constexpr uint32_t sequence_gap_ms = 100;
// Parameter bytes kept of one control sequence; longer ones are skipped whole.
constexpr size_t max_sequence_bytes = 32;
// Keys the keyboard protocol reports down at once that are remembered.
constexpr size_t max_keys_down = 8;

enum class DecodeState : uint8_t {
    ground,
    escape,  // after ESC
    csi,     // ESC [ ...
    ss3,     // ESC O ...
    mouse,   // the three raw bytes after CSI M
    paste,   // between ESC[200~ and ESC[201~: discarded
};

// Where the plain bytes of the note key typed last stand.
enum class NoteRun : uint8_t {
    none,       // the last plain byte was no note key
    pressed,    // one byte: a press
    pending,    // a second byte about one repeat delay after the press: a
                // new press, or the keyboard starting to repeat; the repeat
                // rhythm that follows (or not) tells
    repeating,  // the keyboard's auto-repeat
};

struct KeyDecoder {
    // Set once the terminal has taken the kitty keyboard protocol: Escape
    // then arrives as CSI 27u, so a lone ESC byte is never the Escape key.
    bool keyboard_protocol = false;

    // Readings.
    bool quit = false;             // Escape or Ctrl-C pressed (stays set)
    bool suspend = false;          // Ctrl-Z pressed (the reader clears it)
    uint32_t pressed = 0;          // bit k: note key k pressed (the reader clears it)
    bool space_exact = false;      // Space held, from press/release events
    bool space_repeating = false;  // Space held, from plain bytes and their timing

    // Answers to the terminal queries: a keyboard-protocol reply that came
    // before the device-attributes reply means the protocol is supported.
    bool protocol_reply = false;
    bool attributes_reply = false;

    // Parser.
    DecodeState state = DecodeState::ground;
    uint32_t escape_ms = 0;    // when the pending ESC was read
    uint32_t sequence_ms = 0;  // when the sequence's latest byte was read
    uint8_t sequence[max_sequence_bytes] = {};
    size_t sequence_length = 0;
    bool sequence_overflow = false;
    bool sequence_intermediate = false;
    uint8_t mouse_left = 0;
    uint8_t paste_matched = 0;  // bytes of ESC[201~ matched so far

    // Keys the protocol has reported pressed and not yet released.
    uint32_t keys_down[max_keys_down] = {};
    uint8_t keys_down_count = 0;

    // Plain-byte timing of the note key typed last.
    int8_t run_key = -1;
    NoteRun run = NoteRun::none;
    uint32_t run_press_ms = 0;  // its press
    uint32_t run_last_ms = 0;   // its latest byte
    // Plain-byte Space.
    uint32_t space_last_ms = 0;
    uint32_t space_first_gap_ms = 0;  // the hold's first gap: the repeat delay
    uint32_t space_gap_ms = 0;        // between the last two Space bytes
    uint32_t space_bytes = 0;         // Space bytes in the current hold
    // The keyboard's repeat timing as seen so far; 0 until repeats are seen.
    uint32_t repeat_delay_ms = 0;
    uint32_t repeat_interval_ms = 0;
};

// Decodes `count` bytes read at `now_ms` (a wrapping millisecond clock).
// A sequence cut anywhere is continued by the next call.
void decode_keys(KeyDecoder& d, const uint8_t* bytes, size_t count, uint32_t now_ms);

// Applies the timing rules at `now_ms`: a lone ESC becomes Escape, a typed
// sequence is dropped, a note byte that no repeat followed is a press, a
// Space whose bytes have stopped is released.
void decode_timeouts(KeyDecoder& d, uint32_t now_ms);

// Milliseconds from `now_ms` until decode_timeouts() could change anything,
// or -1 when nothing is waiting on time.
int32_t ms_until_timeout(const KeyDecoder& d, uint32_t now_ms);

// Space is held now.
inline bool space_down(const KeyDecoder& d) {
    return d.space_exact || d.space_repeating;
}

// Some key the keyboard protocol reported pressed has not been released:
// its release is on its way.
inline bool keys_held(const KeyDecoder& d) {
    return d.keys_down_count > 0;
}

// Returns the note keys pressed since the last call (bit k for key k) and
// forgets them.
uint32_t take_pressed(KeyDecoder& d);

// Lets go of everything held and every half-read sequence, keeping the
// protocol setting and the keyboard's learned timing: for focus loss and for
// coming back from a suspend.
void release_keys(KeyDecoder& d);

}  // namespace pluck
