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
//   repeat timing turns that back into presses and a held Space, and the
//   parser's timing keeps a player's typing from being mistaken for a
//   terminal's sequences.
// The sequence parser reads the bytes; the decoder acts on what they say.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keys/repeat_timing.h"
#include "keys/sequence_parser.h"

namespace pluck {

// Keys the keyboard protocol reports down at once that are remembered.
constexpr size_t max_keys_down = 8;

// What the decoder tells the main loop.
struct KeyReadings {
    bool quit = false;     // Escape or Ctrl-C pressed (stays set)
    bool suspend = false;  // Ctrl-Z pressed (the reader clears it)
    uint32_t pressed = 0;  // bit k: note key k pressed (the reader clears it)
};

// Answers to the terminal queries: a keyboard-protocol reply that came
// before the device-attributes reply means the protocol is supported.
struct QueryReplies {
    bool protocol = false;
    bool attributes = false;
};

// What the keyboard protocol's press and release events say is down.
struct ProtocolKeys {
    bool space = false;  // Space held
    // Keys reported pressed and not yet released.
    uint32_t codes[max_keys_down] = {};
    uint8_t count = 0;
};

struct KeyDecoder {
    // Set once the terminal has taken the kitty keyboard protocol: Escape
    // then arrives as CSI 27u, so a lone ESC byte is never the Escape key.
    bool keyboard_protocol = false;
    KeyReadings readings;
    QueryReplies replies;
    // The decoder's own: only its functions change these.
    SequenceParser parser;
    ProtocolKeys protocol_keys;
    RepeatTiming repeats;  // of plain bytes
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
    return d.protocol_keys.space || d.repeats.space.held;
}

// Some key the keyboard protocol reported pressed has not been released:
// its release is on its way.
inline bool keys_held(const KeyDecoder& d) {
    return d.protocol_keys.count > 0;
}

// Returns the note keys pressed since the last call (bit k for key k) and
// forgets them.
uint32_t take_pressed(KeyDecoder& d);

// Lets go of everything held and every half-read sequence, keeping the
// protocol setting and the keyboard's learned timing: for focus loss and for
// coming back from a suspend.
void release_keys(KeyDecoder& d);

}  // namespace pluck
