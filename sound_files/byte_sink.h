// Where an encoder's bytes go: a file that appears only once complete, or
// anything else that can write bytes at an offset.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pluck {

// `write_at` writes `size` bytes at `offset` from the start (appending, or
// over bytes it already holds) and returns false if it could not; the sink
// keeps the reason.
struct ByteSink {
    bool (*write_at)(void* context, uint64_t offset, const void* bytes, size_t size);
    void* context;
};

}  // namespace pluck
