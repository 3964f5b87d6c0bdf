#include "system/cleanup.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "system/crash_handlers.h"

namespace pluck {

namespace {

struct Cleanup {
    std::atomic<bool> taken{false};
    std::atomic<CleanupAction> action{nullptr};
    std::atomic<void*> context{nullptr};
    std::atomic<uint32_t> order{0};  // when it was added
};

Cleanup cleanups[max_cleanups];
std::atomic<uint32_t> added{0};
std::atomic<bool> handlers_in_place{false};

static_assert(std::atomic<CleanupAction>::is_always_lock_free && std::atomic<void*>::is_always_lock_free,
              "a signal handler reads the list");

// The latest added of the actions still on the list that came before
// `before`, or -1.
int latest_before(uint32_t before) {
    int latest = -1;
    uint32_t latest_order = 0;
    for (int i = 0; i < max_cleanups; ++i) {
        const uint32_t order = cleanups[i].order.load(std::memory_order_acquire);
        if (cleanups[i].action.load(std::memory_order_acquire) != nullptr && order < before &&
            (latest < 0 || order > latest_order)) {
            latest = i;
            latest_order = order;
        }
    }
    return latest;
}

}  // namespace

int add_cleanup(CleanupAction action, void* context) {
    if (!handlers_in_place.exchange(true)) {
        catch_crashes();
        std::atexit(run_cleanups);
    }
    for (int i = 0; i < max_cleanups; ++i) {
        if (!cleanups[i].taken.exchange(true, std::memory_order_acq_rel)) {
            cleanups[i].context.store(context, std::memory_order_relaxed);
            cleanups[i].order.store(added.fetch_add(1) + 1, std::memory_order_relaxed);
            // Published last: a handler that sees the action sees the rest.
            cleanups[i].action.store(action, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void remove_cleanup(int& handle) {
    if (handle < 0 || handle >= max_cleanups) {
        return;
    }
    cleanups[handle].action.store(nullptr, std::memory_order_release);
    cleanups[handle].taken.store(false, std::memory_order_release);
    handle = -1;
}

void run_cleanups() {
    uint32_t before = UINT32_MAX;
    for (int i = latest_before(before); i >= 0; i = latest_before(before)) {
        before = cleanups[i].order.load(std::memory_order_acquire);
        // Whoever takes the action runs it; another caller passes it by.
        if (const CleanupAction action = cleanups[i].action.exchange(nullptr, std::memory_order_acq_rel)) {
            action(cleanups[i].context.load(std::memory_order_relaxed));
        }
    }
}

}  // namespace pluck
