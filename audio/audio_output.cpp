#include "audio/audio_output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "audio/alsa_pcm.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

constexpr uint32_t block_samples = buffer_frames * channel_count;
constexpr uint32_t block_bytes = buffer_frames * frame_bytes;
constexpr const char* device_name = "default";

// Everything the thread shares with its starter. Both hold it, so a thread
// left running after `stop_audio` gave up on it still has it.
struct Shared {
    std::atomic<bool> quit{false};
    std::atomic<AudioPhase> phase{AudioPhase::starting};
    std::atomic<bool> device_opened{false};
    GrantedFormat granted;  // written once, before `device_opened` is set
    std::atomic<uint64_t> buffers_filled{0};
    std::atomic<uint32_t> underruns_recovered{0};

    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;  // under `mutex`
};

void report_no_sound(const char* reason) {
    std::fprintf(stderr, "pluck: no sound: %s\n", reason);
}

// Refills, in ring order, every buffer whose place in the queue has been
// played, however many finished since the last look. Returns 0, or an ALSA
// error code when the device has gone.
int refill_finished(Shared& shared, Pcm& pcm, FillCallback fill, float* ring, int& ring_index) {
    const long writable = pcm_writable_frames(pcm);
    if (writable < 0) {
        return static_cast<int>(writable);
    }
    for (long free_blocks = writable / buffer_frames; free_blocks > 0; --free_blocks) {
        if (shared.quit.load(std::memory_order_acquire)) {
            return 0;
        }
        float* buffer = ring + static_cast<size_t>(ring_index) * block_samples;
        fill(buffer, block_bytes);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        const int err = pcm_write_block(pcm, buffer, buffer_frames);
        if (err < 0) {
            return err;
        }
        ring_index = (ring_index + 1) % ring_buffer_count;
    }
    return 0;
}

void play(Shared& shared, FillCallback fill) {
    Pcm pcm;
    const int open_err = pcm_open(pcm, device_name);
    if (open_err < 0) {
        report_no_sound(pcm_error_text(open_err));
        return;
    }
    // The six buffers, zero (silence) to begin with: the thread's only heap
    // memory, made before the first sound and freed after the last.
    std::unique_ptr<float[]> ring(new (std::nothrow) float[block_samples * ring_buffer_count]());
    if (!ring) {
        pcm_close(pcm);
        report_no_sound("out of memory");
        return;
    }
    shared.granted = GrantedFormat{pcm.config.rate_hz, pcm.config.period_frames, pcm.config.buffer_frames,
                                   pcm.config.queue_frames};
    shared.device_opened.store(true, std::memory_order_release);
    shared.phase.store(AudioPhase::playing, std::memory_order_release);

    bool gone = false;
    for (int i = 0; i < ring_buffer_count && !gone; ++i) {
        gone = pcm_write_block(pcm, ring.get() + static_cast<size_t>(i) * block_samples, buffer_frames) < 0;
    }
    int ring_index = 0;
    while (!gone && !shared.quit.load(std::memory_order_acquire)) {
        int err = pcm_wait(pcm, device_wait_ms);
        if (err >= 0) {
            err = refill_finished(shared, pcm, fill, ring.get(), ring_index);
        }
        if (err < 0) {
            // An underrun restarts the device with an empty queue, which the
            // next pass fills again; any other error means it has gone, and
            // the instrument plays on silently.
            gone = pcm_recover(pcm, err) < 0;
        }
        shared.underruns_recovered.store(pcm.underruns, std::memory_order_relaxed);
    }
    if (!gone) {
        shared.phase.store(AudioPhase::draining, std::memory_order_release);
        if (!pcm_drain(pcm, drain_limit_ms)) {
            // A device that never plays its queue out would not close either
            // (closing waits for it without limit): leave it, so that the
            // thread still ends well within stop_audio's wait.
            pcm_abandon(pcm);
        }
    }
    pcm_close(pcm);
}

void audio_thread_main(std::shared_ptr<Shared> shared, FillCallback fill) {
    play(*shared, fill);
    shared->phase.store(AudioPhase::ended, std::memory_order_release);
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->done = true;
    shared->ended.notify_all();
}

}  // namespace

struct AudioOutput {
    std::thread thread;
    std::shared_ptr<Shared> shared;
};

AudioHandle start_audio(FillCallback fill) {
    // ALSA's own messages would add lines of its own to the one this output
    // prints when there is no sound. Set here, before the thread exists.
    silence_alsa_messages();
    AudioOutput* output = new (std::nothrow) AudioOutput;
    if (output == nullptr) {
        return nullptr;
    }
    try {
        output->shared = std::make_shared<Shared>();
        output->thread = std::thread(audio_thread_main, output->shared, fill);
    } catch (...) {  // std::bad_alloc or std::system_error: no thread
        delete output;
        return nullptr;
    }
    return output;
}

bool stop_audio(AudioHandle handle) {
    if (handle == nullptr) {
        return true;
    }
    Shared& shared = *handle->shared;
    shared.quit.store(true, std::memory_order_release);
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        ended =
            shared.ended.wait_for(lock, std::chrono::milliseconds(stop_wait_ms), [&] { return shared.done; });
    }
    if (ended) {
        handle->thread.join();
    } else {
        handle->thread.detach();  // it keeps its own reference to `shared`
    }
    delete handle;
    return ended;
}

AudioStatus audio_status(AudioHandle handle) {
    AudioStatus status;
    if (handle == nullptr) {
        return status;
    }
    const Shared& shared = *handle->shared;
    status.phase = shared.phase.load(std::memory_order_acquire);
    status.quit_requested = shared.quit.load(std::memory_order_acquire);
    status.device_opened = shared.device_opened.load(std::memory_order_acquire);
    if (status.device_opened) {
        status.granted = shared.granted;
    }
    status.buffers_filled = shared.buffers_filled.load(std::memory_order_relaxed);
    status.underruns_recovered = shared.underruns_recovered.load(std::memory_order_relaxed);
    return status;
}

}  // namespace pluck
