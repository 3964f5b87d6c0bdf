// Reads the bytes a terminal sends into what they say: a plain byte, or a
// control sequence (a keyboard-protocol key event, a reply to a query, a
// focus report), skipping what the instrument has no use for (arrows,
// function keys, mouse reports, a bracketed paste). Keeps no readings: the
// key decoder acts on what each byte completes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pluck {

// An ESC byte with nothing after it for this long is the Escape key; sooner,
// it starts an escape sequence.
constexpr uint32_t lone_escape_ms = 30;
// A plain terminal sends a control sequence, a mouse report or a paste in
// one burst. A pause this long inside one means its bytes were typed (Alt+[
// then more keys): the parser drops it and reads keys again, so that no
// typed bytes can leave Escape and Ctrl-C dead. With the keyboard protocol
// only a paste is timed so: its events may come in pieces.
constexpr uint32_t sequence_gap_ms = 100;
// Parameter bytes kept of one control sequence; longer ones are skipped whole.
constexpr size_t max_sequence_bytes = 32;

// The keyboard protocol's key events.
constexpr uint32_t key_press = 1;
constexpr uint32_t key_repeat = 2;
constexpr uint32_t key_release = 3;

enum class DecodeState : uint8_t {
    ground,
    escape,  // after ESC
    csi,     // ESC [ ...
    ss3,     // ESC O ...
    mouse,   // the three raw bytes after CSI M
    paste,   // between ESC[200~ and ESC[201~: discarded
};

// What one byte completed.
struct SequenceToken {
    enum Kind : uint8_t {
        none,              // nothing yet, or nothing the instrument uses
        plain,             // a byte outside any sequence (never ESC): `byte`
        interrupt,         // Ctrl-C inside a sequence
        key_event,         // CSI code[:alternates];modifiers[:event][;text]u
        protocol_reply,    // CSI ? flags u: the keyboard protocol is there
        attributes_reply,  // CSI ? ... c: the device attributes
        focus_lost,        // CSI O
    };
    Kind kind = none;
    uint8_t byte = 0;
    // A key event: the key's code, its modifier bits (Shift 1, Alt 2, Ctrl 4,
    // ..., Caps Lock 64, Num Lock 128) and whether it went down, repeated or
    // came up (any other number is passed on as it came).
    uint32_t code = 0;
    uint32_t modifiers = 0;
    uint32_t event = key_press;
};

// The parameter bytes of the control sequence being read.
struct SequenceParameters {
    uint8_t bytes[max_sequence_bytes] = {};
    size_t length = 0;
    bool overflow = false;      // more than were kept, or malformed: skipped
    bool intermediate = false;  // an intermediate byte came: no sequence read here

    void start() {
        length = 0;
        overflow = false;
        intermediate = false;
    }
};

// The parser's position in the bytes. Its members are its own: only the
// functions below change them.
struct SequenceParser {
    DecodeState state = DecodeState::ground;
    uint32_t escape_ms = 0;    // when the pending ESC was read
    uint32_t sequence_ms = 0;  // when the sequence's latest byte was read
    SequenceParameters parameters;
    uint8_t mouse_left = 0;     // raw bytes of a mouse report still to come
    uint8_t paste_matched = 0;  // bytes of ESC[201~ matched so far

    // Reads byte `b`, read at `now_ms`.
    SequenceToken read(uint8_t b, uint32_t now_ms);

    // Applies the timing rules at `now_ms`; true when a lone ESC byte has
    // turned out to be the Escape key. With the keyboard protocol, Escape
    // comes as a sequence and sequences may come in pieces: only a paste is
    // timed then.
    bool expire(uint32_t now_ms, bool keyboard_protocol);

    // Milliseconds from `now_ms` until expire() could change anything, or
    // -1 when nothing is waiting on time.
    int32_t ms_until_due(uint32_t now_ms, bool keyboard_protocol) const;
};

}  // namespace pluck
