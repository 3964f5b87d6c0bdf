// A fill callback that numbers every frame it renders, and a reader that
// checks a recording of them: a lost, repeated or reordered buffer shows as
// a break in the count.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace pluck::test {

// Frame n (from 1) carries n * 2^-22 on the left and its negative on the
// right: exact in float32 for millions of frames, and never silent.
inline float numbered_value(uint32_t n) {
    return static_cast<float>(n) * 0x1p-22f;
}

struct NumberedFill {
    std::atomic<int> calls{0};
    int stall_at_call = -1;  // this call takes 150 ms: longer than the whole ring
    int pause_ms = 0;        // every call takes at least this long
    uint32_t frames = 0;     // audio thread only
};

// The one the callback fills for; `reset_numbered_fill` starts it afresh.
extern NumberedFill numbered_fill;
void reset_numbered_fill(int stall_at_call = -1, int pause_ms = 0);
void numbering_fill(void* buffer, uint32_t bytes);

struct NumberedStream {
    uint32_t frames = 0;           // numbered frames found, all in order
    uint32_t leading_silence = 0;  // silent frames before the first
    uint32_t silent_runs = 0;      // silences between numbered frames
    std::string fault;             // the first frame out of place
};

// Numbered frames must come as 1, 2, 3, ... (compared as bits) with nothing
// but exact silence around and between them, in interleaved float32 bytes.
NumberedStream read_numbered(const std::string& recording);

inline bool wait_until(const auto& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace pluck::test
