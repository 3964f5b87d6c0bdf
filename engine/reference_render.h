// The signal path written frame by frame, exactly as the instrument defines
// it: every string's step(), the three filters and both reverb channels'
// process(), one frame after another. render_audio() computes the same bits
// a block at a time; this plain form is kept to check it against.
#pragma once

#include <cstdint>

namespace pluck {

// Same contract as render_audio(): applies any plucks handed over, then
// renders bytes / 8 frames at `buffer`.
void render_audio_reference(void* buffer, uint32_t bytes);

}  // namespace pluck
