// Presses and a held Space from the plain bytes of a terminal that sends no
// releases, only the keyboard's auto-repeat: a held key's byte once, again
// after the keyboard's repeat delay, then once every repeat interval. A
// keyboard repeats only the key pressed last. The timing of the bytes tells a
// held key from a key tapped again; the delay and the interval are learned
// from the repeats seen (Space holds and note holds), and until then assumed
// to lie within the bounds below.
#pragma once

#include <cstdint>

namespace pluck {

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

// The keyboard's repeat timing as seen so far; 0 until repeats are seen.
struct KeyboardRepeat {
    uint32_t delay_ms = 0;
    uint32_t interval_ms = 0;
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

// The note key typed last.
struct NoteBytes {
    int8_t key = -1;
    NoteRun run = NoteRun::none;
    uint32_t press_ms = 0;  // its press
    uint32_t last_ms = 0;   // its latest byte
};

// Plain-byte Space.
struct SpaceBytes {
    bool held = false;
    uint32_t last_ms = 0;
    uint32_t first_gap_ms = 0;  // the hold's first gap: the repeat delay
    uint32_t gap_ms = 0;        // between the last two Space bytes
    uint32_t count = 0;         // Space bytes in the current hold
};

// The timing of plain bytes. Its members are its own: only the functions
// below change them. note_byte(), other_byte() and expire() return the note
// keys that have turned out pressed (bit k for key k).
struct RepeatTiming {
    NoteBytes note;
    SpaceBytes space;
    KeyboardRepeat keyboard;

    // Note key `key`'s byte, read at `now_ms`.
    uint32_t note_byte(int32_t key, uint32_t now_ms);
    // Any other plain byte: the note key typed last is no longer repeating.
    uint32_t other_byte();
    // Space's byte, read at `now_ms` (after other_byte()).
    void space_byte(uint32_t now_ms);
    // Applies the timing rules at `now_ms`: a note byte that no repeat
    // followed is a press, a Space whose bytes have stopped is released.
    uint32_t expire(uint32_t now_ms);
    // Milliseconds from `now_ms` until expire() could change anything, or
    // -1 when nothing is waiting on time.
    int32_t ms_until_due(uint32_t now_ms) const;
    // Focus lost: the release of a held Space never reaches us.
    void release_space() {
        space.held = false;
    }
    // Forgets the keys' bytes, keeping what was learned of the keyboard.
    void release();
};

}  // namespace pluck
