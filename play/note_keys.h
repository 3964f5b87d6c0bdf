// The eight note keys: which string each plucks, at which interval from the
// current key and with which averaging width.
#pragma once

#include <cstdint>

namespace pluck {

struct NoteKey {
    char letter;     // lower case; upper case plays the same
    int32_t offset;  // semitones from the current key
    int32_t width;   // the string's averaging width: wider for lower notes
};

constexpr int32_t note_key_count = 8;

// Key k plucks string k. Over three octaves: root, minor third, fifth and
// minor seventh of the current key.
constexpr NoteKey note_keys[note_key_count] = {
    {'z', -24, 12}, {'x', -12, 9}, {'c', -5, 7}, {'v', 0, 5},
    {'b', 3, 4},    {'n', 7, 3},   {'m', 10, 2}, {'k', 12, 2},
};

// Which keys play: the two lines the instrument prints once it has started.
constexpr char key_guide_text[] = "    Play : Z, X, C, V, B, N, M, K\nAutoPlay : Hold SpaceKey.\n";

// ASCII lower case of a character code; other codes are left as they are.
constexpr uint32_t ascii_lower(uint32_t code) {
    return code >= 'A' && code <= 'Z' ? code - 'A' + 'a' : code;
}

// Index of the note key for a character code (a letter of either case), or -1.
constexpr int32_t note_key_index(uint32_t code) {
    for (int32_t k = 0; k < note_key_count; ++k) {
        if (static_cast<uint32_t>(note_keys[k].letter) == ascii_lower(code)) {
            return k;
        }
    }
    return -1;
}

}  // namespace pluck
