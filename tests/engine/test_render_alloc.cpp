#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"

// Every allocation in this binary is counted, so that a test can show that
// rendering (including handing plucks over) makes none.
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

TEST(RenderAllocation, RenderingAllocatesNothing) {
    reset_synth_state();
    std::vector<float> buffer(1024);
    const long before = allocations.load();
    for (int b = 0; b < 200; ++b) {
        if (b % 20 == 0) {
            for (int32_t k = 0; k < 8; ++k) {
                pluck_string(k, 85 + 5 * k, 2 + k);
            }
        }
        render_audio(buffer.data(), 4096);
    }
    EXPECT_EQ(allocations.load() - before, 0);
    // The counter does see allocations: otherwise this test proves nothing.
    const long seen = allocations.load();
    std::vector<int>* probe = new std::vector<int>(10);
    delete probe;
    EXPECT_GT(allocations.load(), seen);
}

}  // namespace
}  // namespace pluck
