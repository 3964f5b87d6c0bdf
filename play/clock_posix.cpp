#include "play/clock.h"

#include <cerrno>
#include <ctime>

namespace pluck {

namespace {

uint32_t monotonic_now_ms(void*) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);  // wraps every 49.7 days, as intended
}

void monotonic_sleep_1ms(void*) {
    timespec left{0, 1000000};
    // A signal (a terminal resize, say) must not cut the sleep short.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

Clock system_clock() {
    return Clock{monotonic_now_ms, monotonic_sleep_1ms, nullptr};
}

}  // namespace pluck
