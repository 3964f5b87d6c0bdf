// A bounded queue of sound blocks from one thread to one other, without
// locks: the audio thread puts, the recording's writer takes. All its memory
// is made with it, so putting never allocates, and a full queue drops the
// block (and counts its frames) rather than making the audio thread wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "engine/tuning.h"

namespace pluck {

// One block holds up to this many frames (the largest buffer the output
// plays; a longer one is put in pieces).
constexpr uint32_t queue_block_frames = 512;
// Blocks in a queue: 512 of them hold 5.9 s of sound.
constexpr uint32_t queue_blocks = 512;

struct QueuedBlock {
    uint32_t frames = 0;
    float samples[queue_block_frames * channel_count];
};

struct BlockQueue {
    QueuedBlock blocks[queue_blocks];
    // Counts of blocks ever put and taken; each written by one side only.
    // Their difference is the number waiting.
    std::atomic<uint32_t> put_count{0};
    std::atomic<uint32_t> taken_count{0};
    std::atomic<int64_t> lost_frames{0};
};

// Producer: copies `frames` interleaved frames into the queue, in blocks,
// or counts them lost where it is full.
inline void put_frames(BlockQueue& q, const float* samples, uint32_t frames) {
    while (frames > 0) {
        const uint32_t n = frames < queue_block_frames ? frames : queue_block_frames;
        const uint32_t put = q.put_count.load(std::memory_order_relaxed);
        if (put - q.taken_count.load(std::memory_order_acquire) == queue_blocks) {
            q.lost_frames.fetch_add(n, std::memory_order_relaxed);
        } else {
            QueuedBlock& block = q.blocks[put % queue_blocks];
            std::memcpy(block.samples, samples, static_cast<size_t>(n) * frame_bytes);
            block.frames = n;
            q.put_count.store(put + 1, std::memory_order_release);
        }
        samples += static_cast<size_t>(n) * channel_count;
        frames -= n;
    }
}

// Consumer: the oldest block waiting, or null. It stays the consumer's
// until `release_block`.
inline const QueuedBlock* peek_block(BlockQueue& q) {
    const uint32_t taken = q.taken_count.load(std::memory_order_relaxed);
    if (q.put_count.load(std::memory_order_acquire) == taken) {
        return nullptr;
    }
    return &q.blocks[taken % queue_blocks];
}

inline void release_block(BlockQueue& q) {
    q.taken_count.store(q.taken_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

}  // namespace pluck
