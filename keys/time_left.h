// The decoder's timing rules each wait some time after a byte; these say how
// long is left of such waits, on the wrapping millisecond clock.
#pragma once

#include <cstdint>

namespace pluck {

// Milliseconds left at `now_ms` of a wait of `after_ms` from `since_ms`: 0
// once it is over.
constexpr int32_t ms_left(uint32_t since_ms, uint32_t after_ms, uint32_t now_ms) {
    const uint32_t elapsed = now_ms - since_ms;
    return elapsed >= after_ms ? 0 : static_cast<int32_t>(after_ms - elapsed);
}

// The sooner of two waits, where -1 is no wait at all.
constexpr int32_t sooner(int32_t a_ms, int32_t b_ms) {
    if (a_ms < 0) {
        return b_ms;
    }
    return b_ms >= 0 && b_ms < a_ms ? b_ms : a_ms;
}

}  // namespace pluck
