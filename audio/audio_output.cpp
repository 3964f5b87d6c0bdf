#include "audio/audio_output.h"

#include <memory>
#include <new>
#include <thread>

#include "audio/output_threads.h"
#include "audio/sound_device.h"

namespace pluck {
namespace {

// Waits at most `limit_ms` for `done`; joins the thread or leaves it.
bool end_thread(OutputShared& shared, std::thread& thread, const bool& done, int limit_ms) {
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        ended = shared.ended.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return done; });
    }
    if (ended) {
        thread.join();
    } else {
        thread.detach();  // it keeps its own reference to `shared`
    }
    return ended;
}

}  // namespace

struct AudioOutput {
    std::thread audio;
    std::thread opener;
    std::shared_ptr<OutputShared> shared;
};

AudioHandle start_audio(FillCallback fill, const AudioSettings& settings) {
    if (settings.ring_buffers < 1 || settings.ring_buffers > max_ring_buffers ||
        settings.buffer_frames < min_buffer_frames || settings.buffer_frames > buffer_frames ||
        settings.device_name == nullptr) {
        return nullptr;
    }
    // Before the threads exist.
    prepare_sound_devices();
    AudioOutput* output = new (std::nothrow) AudioOutput;
    if (output == nullptr) {
        return nullptr;
    }
    try {
        output->shared = std::make_shared<OutputShared>();
        OutputShared& shared = *output->shared;
        shared.fill = fill;
        shared.device_name = settings.device_name;
        shared.ring = RingLayout{settings.buffer_frames, settings.ring_buffers};
        shared.raise_priority = settings.raise_priority;
        shared.ring_samples.reset(new float[static_cast<size_t>(shared.ring.frames()) * channel_count]());
        output->audio = std::thread(run_audio_thread, output->shared);
    } catch (...) {  // std::bad_alloc or std::system_error: no thread
        delete output;
        return nullptr;
    }
    try {
        output->opener = std::thread(run_opener_thread, output->shared);
    } catch (...) {
        stop_audio(output);
        return nullptr;
    }
    return output;
}

bool stop_audio(AudioHandle handle) {
    if (handle == nullptr) {
        return true;
    }
    OutputShared& shared = *handle->shared;
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.quit.store(true, std::memory_order_release);
    }
    shared.audio_wake.notify_all();
    shared.opener_wake.notify_all();
    const bool ended = end_thread(shared, handle->audio, shared.audio_done, stop_wait_ms);
    if (handle->opener.joinable()) {
        end_thread(shared, handle->opener, shared.opener_done, opener_stop_wait_ms);
    }
    delete handle;
    return ended;
}

AudioStatus audio_status(AudioHandle handle) {
    AudioStatus status;
    if (handle == nullptr) {
        return status;
    }
    OutputShared& shared = *handle->shared;
    status.phase = shared.phase.load(std::memory_order_acquire);
    status.priority = shared.priority.load(std::memory_order_relaxed);
    status.quit_requested = shared.quit.load(std::memory_order_acquire);
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        status.device_opened = shared.device_open;
        status.granted = shared.granted;
    }
    status.devices_opened = shared.devices_opened.load(std::memory_order_relaxed);
    status.open_attempts = shared.open_attempts.load(std::memory_order_relaxed);
    status.buffers_filled = shared.buffers_filled.load(std::memory_order_relaxed);
    status.underruns_recovered = shared.underruns_recovered.load(std::memory_order_relaxed);
    return status;
}

}  // namespace pluck
