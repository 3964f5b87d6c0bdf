#include "engine/plucked_string.h"

#include <cmath>

namespace pluck {

int32_t period_for_note(int32_t note) {
    const double p = std::pow(2.0, static_cast<double>(note) / 12.0);
    // From note 198 up the divisor exceeds the numerator and the string is
    // silent; checking that first keeps huge notes from overflowing the
    // conversion below.
    if (p >= static_cast<double>(period_numerator) + 1.0) {
        return 0;
    }
    const int32_t divisor = static_cast<int32_t>(p);
    // Notes below 0 truncate to 0: they play the lowest pitch there is
    // rather than dividing by zero.
    if (divisor == 0) {
        return string_capacity_samples;
    }
    return period_numerator / divisor;
}

void PluckedString::pluck(int32_t note, int32_t new_width, NoiseGenerator& noise) {
    const int32_t p = period_for_note(note);
    period = p;
    for (int32_t i = 0; i < p; ++i) {
        samples[i] = static_cast<float>(noise_next(noise)) / noise_scale;
    }
    // A width below 1 would divide by zero in step(); the instrument never
    // asks for one, but a stray caller gets the narrowest average instead.
    width = new_width < 1 ? 1 : new_width;
}

}  // namespace pluck
