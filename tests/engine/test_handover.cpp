// The audio thread's side of the hand-over: rendering while another thread
// plucks, with no allocation (an allocation can wait on a lock).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <new>
#include <thread>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

// Every allocation in this binary is counted, so that a test can show that
// rendering (handing plucks over included) makes none.
namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace pluck {
namespace {

// One thread plucks as fast as it can while another renders: under
// ThreadSanitizer this must report nothing; neither thread allocates (an
// allocation can wait on a lock); and each string ends as its last pluck
// left it.
TEST(PluckHandover, PlucksWhileRenderingAreSafeAndAllocateNothing) {
    reset_synth_state();
    std::atomic<bool> done{false};
    std::thread audio([&done] {
        float buffer[1024];
        while (!done.load()) {
            render_audio(buffer, sizeof buffer);
        }
    });
    const long before = allocations.load();
    const int32_t notes[] = {85, 97, 104, 109, 112, 116, 119, 121, 200, -5, 190};
    int32_t last_note[8] = {};
    int32_t last_width[8] = {};
    for (int i = 0; i < 20000; ++i) {
        last_note[i % 8] = notes[(i * 7) % std::size(notes)];
        last_width[i % 8] = 2 + i % 11;
        pluck_string(i % 8, last_note[i % 8], last_width[i % 8]);
    }
    done.store(true);
    audio.join();
    float frame[2];
    render_audio(frame, sizeof frame);
    EXPECT_EQ(allocations.load() - before, 0);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(synth.strings[k].period, period_for_note(last_note[k])) << k;
        EXPECT_EQ(synth.strings[k].width, last_width[k]) << k;
    }
}

}  // namespace
}  // namespace pluck
