#include "engine/pluck_handover.h"

#include <atomic>
#include <mutex>

#include "engine/synth_state.h"

namespace pluck {

namespace {

struct PendingPluck {
    int32_t note = 0;
    int32_t width = 0;
    // The generator as it stood when the pluck was made.
    NoiseGenerator noise;
};

// Held only while a few words are copied in or out; the audio thread only
// ever tries it.
std::mutex handover_mutex;
PendingPluck pending[string_count];
// Changed only under the mutex; atomic so that plucks_pending() need not
// take it.
std::atomic<uint32_t> pending_mask = 0;

}  // namespace

void pluck_string(int32_t string_index, int32_t note, int32_t width) {
    if (string_index < 0 || string_index >= string_count) {
        return;
    }
    const PendingPluck request{note, width, synth.noise};
    noise_skip(synth.noise, period_for_note(note));
    const std::lock_guard<std::mutex> lock(handover_mutex);
    pending[string_index] = request;
    pending_mask.fetch_or(1u << string_index, std::memory_order_relaxed);
}

void apply_pending_plucks() {
    PendingPluck taken[string_count];
    uint32_t mask = 0;
    if (!handover_mutex.try_lock()) {
        return;
    }
    mask = pending_mask.load(std::memory_order_relaxed);
    for (int32_t k = 0; k < string_count; ++k) {
        if ((mask & (1u << k)) != 0) {
            taken[k] = pending[k];
        }
    }
    pending_mask.store(0, std::memory_order_relaxed);
    handover_mutex.unlock();

    for (int32_t k = 0; k < string_count; ++k) {
        if ((mask & (1u << k)) != 0) {
            synth.strings[k].pluck(taken[k].note, taken[k].width, taken[k].noise);
        }
    }
}

bool plucks_pending() {
    return pending_mask.load(std::memory_order_relaxed) != 0;
}

void discard_pending_plucks() {
    const std::lock_guard<std::mutex> lock(handover_mutex);
    pending_mask.store(0, std::memory_order_relaxed);
}

}  // namespace pluck
