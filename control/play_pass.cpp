#include "control/play_pass.h"

#include "control/auto_play.h"
#include "engine/pluck_handover.h"
#include "engine/synth_state.h"

namespace pluck {

int32_t note_key_index(char letter) {
    const char lower = (letter >= 'A' && letter <= 'Z') ? static_cast<char>(letter - 'A' + 'a') : letter;
    for (int32_t k = 0; k < 8; ++k) {
        if (note_keys[k].letter == lower) {
            return k;
        }
    }
    return -1;
}

void play_pass(bool space_down, uint32_t pressed, const Clock& clock) {
    if (space_down) {
        auto_play_step(clock);
    }
    for (int32_t k = 0; k < 8; ++k) {
        if ((pressed & (1u << k)) != 0) {
            pluck_string(k, synth.base_note + note_keys[k].offset, note_keys[k].width);
        }
    }
}

}  // namespace pluck
