#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include "play/clock.h"

namespace pluck {

namespace {

// The multimedia timer's milliseconds since Windows started, wrapping every
// 49.7 days; the auto-play's tick rule is stated in its readings.
uint32_t multimedia_now_ms(void*) {
    return timeGetTime();
}

// At least a millisecond; with the system's default timer resolution, which
// the program leaves as it finds it, often a whole timer period.
void system_sleep_1ms(void*) {
    Sleep(1);
}

}  // namespace

Clock system_clock() {
    return Clock{multimedia_now_ms, system_sleep_1ms, nullptr};
}

}  // namespace pluck
