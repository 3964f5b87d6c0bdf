// Time for the control thread: a wrapping millisecond clock and a short
// sleep. The live instrument uses the system's monotonic clock; the offline
// renderer and the tests drive the same code on virtual time.
#pragma once

#include <cstdint>

namespace pluck {

struct Clock {
    // Milliseconds since an arbitrary start, wrapping modulo 2^32.
    uint32_t (*now_ms)(void* context);
    // Gives up the processor for at least one millisecond (virtual clocks
    // may do nothing).
    void (*sleep_1ms)(void* context);
    void* context;
};

// The monotonic system clock and a real sleep.
Clock system_clock();

}  // namespace pluck
