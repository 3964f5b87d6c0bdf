#include "play/play_pass.h"

#include "engine/pluck_handover.h"
#include "play/auto_play.h"
#include "play/note_keys.h"

namespace pluck {

void play_pass(bool space_down, uint32_t pressed, const Clock& clock) {
    if (space_down) {
        auto_play_step(clock);
    }
    for (int32_t k = 0; k < note_key_count; ++k) {
        if ((pressed & (1u << k)) != 0) {
            pluck_string(k, auto_play.base_note + note_keys[k].offset, note_keys[k].width);
        }
    }
}

}  // namespace pluck
