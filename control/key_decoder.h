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
//   timing rules below turn that back into presses and a held Space.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control/note_keys.h"

namespace pluck {

// A second byte of the same note key this soon after the previous one is the
// keyboard's auto-repeat, not a new press.
constexpr uint32_t note_repeat_window_ms = 100;
// Plain-byte Space counts as held this long after its first byte: longer than
// the usual delay (250-600 ms) before a keyboard starts repeating.
constexpr uint32_t space_hold_first_ms = 700;
// Once repeats flow, Space is held until three repeat intervals pass without
// a byte, but never less than this (reads can bunch up under load).
constexpr uint32_t space_hold_repeat_intervals = 3;
constexpr uint32_t space_hold_min_ms = 90;
// An ESC byte with nothing after it for this long is the Escape key; sooner,
// it starts an escape sequence.
constexpr uint32_t lone_escape_ms = 30;
// Parameter bytes kept of one control sequence; longer ones are skipped whole.
constexpr size_t max_sequence_bytes = 32;

enum class DecodeState : uint8_t {
    ground,
    escape,         // after ESC
    csi,            // ESC [ ...
    ss3,            // ESC O ...
    string,         // OSC, DCS, APC, PM, SOS: skipped up to BEL or ESC '\'
    string_escape,  // ESC seen inside a string
    mouse,          // the three raw bytes after CSI M
    paste,          // between ESC[200~ and ESC[201~: discarded
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
    uint32_t escape_ms = 0;  // when the pending ESC was read
    uint8_t sequence[max_sequence_bytes] = {};
    size_t sequence_length = 0;
    bool sequence_overflow = false;
    bool sequence_intermediate = false;
    uint8_t mouse_left = 0;
    uint8_t paste_matched = 0;  // bytes of ESC[201~ matched so far

    // Plain-byte timing.
    uint32_t note_last_ms[note_key_count] = {};
    uint32_t note_seen = 0;  // bit k: note_last_ms[k] is valid
    uint32_t space_last_ms = 0;
    uint32_t space_gap_ms = 0;  // between the last two Space bytes
    uint32_t space_bytes = 0;   // Space bytes in the current hold
};

// Decodes `count` bytes read at `now_ms` (a wrapping millisecond clock).
// A sequence cut anywhere is continued by the next call.
void decode_keys(KeyDecoder& d, const uint8_t* bytes, size_t count, uint32_t now_ms);

// Applies the timing rules at `now_ms`: a lone ESC becomes Escape, a Space
// whose bytes have stopped is released.
void decode_timeouts(KeyDecoder& d, uint32_t now_ms);

// Milliseconds from `now_ms` until decode_timeouts() could change anything,
// or -1 when nothing is waiting on time.
int32_t ms_until_timeout(const KeyDecoder& d, uint32_t now_ms);

// Space is held now.
inline bool space_down(const KeyDecoder& d) {
    return d.space_exact || d.space_repeating;
}

// Returns the note keys pressed since the last call (bit k for key k) and
// forgets them.
uint32_t take_pressed(KeyDecoder& d);

// Lets go of everything held and every half-read sequence, keeping the
// protocol setting: for focus loss and for coming back from a suspend.
void release_keys(KeyDecoder& d);

}  // namespace pluck
