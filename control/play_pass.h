// The eight note keys and what one pass of the main loop plays.
#pragma once

#include <cstdint>

#include "control/clock.h"

namespace pluck {

struct NoteKey {
    char letter;     // lower case; upper case plays the same
    int32_t offset;  // semitones from the current key
    int32_t width;   // the string's averaging width: wider for lower notes
};

// Key k plucks string k. Over three octaves: root, minor third, fifth and
// minor seventh of the current key.
constexpr NoteKey note_keys[8] = {
    {'z', -24, 12}, {'x', -12, 9}, {'c', -5, 7}, {'v', 0, 5},
    {'b', 3, 4},    {'n', 7, 3},   {'m', 10, 2}, {'k', 12, 2},
};

// Printed once at start, as it is.
constexpr char usage_text[] = "    Play : Z, X, C, V, B, N, M, K\nAutoPlay : Hold SpaceKey.\n";

// Index of the note key for `letter` (either case), or -1.
int32_t note_key_index(char letter);

// Plays one pass of the main loop after its Escape check: one auto-play
// step if Space is down, then each note key whose bit (1 << k) is set in
// `pressed`, in key order, relative to the key as read at that note.
void play_pass(bool space_down, uint32_t pressed, const Clock& clock);

}  // namespace pluck
