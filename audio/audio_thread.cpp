#include <algorithm>
#include <cstring>

#include "audio/no_sound.h"
#include "audio/output_threads.h"
#include "audio/thread_priority.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

using Clock = OutputClock;

struct Player {
    explicit Player(OutputShared& owner)
        : shared(owner),
          ring(owner.ring_samples.get()),
          buffer_samples(static_cast<uint32_t>(owner.ring.buffer_frames) * channel_count),
          buffer_bytes(static_cast<uint32_t>(owner.ring.buffer_frames) * frame_bytes),
          buffer_time(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
              static_cast<double>(owner.ring.buffer_frames) / sample_rate_hz))) {}

    OutputShared& shared;
    float* ring = nullptr;
    const uint32_t buffer_samples;
    const uint32_t buffer_bytes;
    const Clock::duration buffer_time;  // how long the device takes to play one buffer
    int ring_index = 0;                 // the buffer refilled next
    SoundDevice* device = nullptr;
    // Whether the present stretch without sound has been said; while it
    // is, the instrument keeps time by the clock.
    bool silent = false;
    // Sound is lost for good: the output does not carry on without a device.
    bool gave_up = false;
    Clock::time_point next_buffer;    // while silent: when the device would take the next buffer
    Clock::time_point last_progress;  // while playing: when a buffer was last queued
    uint32_t failed_opens_seen = 0;

    float* buffer(int index) const {
        return ring + static_cast<size_t>(index) * buffer_samples;
    }

    void fill_next() {
        shared.fill(buffer(ring_index), buffer_bytes);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        ring_index = (ring_index + 1) % shared.ring.buffers;
    }

    // Said only when there is no sound to be late with: no device, or one
    // that takes nothing.
    void say_no_sound(NoSound what, const DeviceError& error) {
        char line[512];
        describe_no_sound(line, sizeof line, what, error, shared.device_name.c_str());
        if (line[0] != '\0') {
            say_no_sound_line(line);
        }
        silent = true;
        if (device == nullptr) {
            shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        }
        next_buffer = Clock::now();
    }

    // Renders the buffers the device would have taken by `now`: plucks made
    // while there is no sound ring on and fade as they would have, and are
    // heard when sound returns. At most a ring's worth at once: time during
    // which the whole process was stopped is not made up.
    void keep_time(Clock::time_point now) {
        for (int n = 0; next_buffer <= now; ++n) {
            if (n == shared.ring.buffers) {
                next_buffer = now + buffer_time;
                return;
            }
            fill_next();
            next_buffer += buffer_time;
        }
    }

    // Refills, in ring order, every buffer whose place in the queue has been
    // played, however many finished since the last look. Returns the buffers
    // queued, or the device's error code.
    long refill_finished() {
        const long finished = free_buffers(*device);
        if (finished < 0) {
            return finished;
        }
        long queued = 0;
        for (long left = finished; left > 0; --left) {
            if (shared.quit.load(std::memory_order_acquire)) {
                break;
            }
            float* next = buffer(ring_index);
            fill_next();
            const int err = write_buffer(*device, next);
            if (err < 0) {
                return err;
            }
            ++queued;
        }
        return queued;
    }

    // A device from the opener: a ring of silence first, then the refills.
    void take_device(SoundDevice* opened) {
        device = opened;
        silent = false;
        shared.phase.store(AudioPhase::playing, std::memory_order_release);
        for (int i = 0; i < shared.ring.buffers; ++i) {
            float* silence = buffer(ring_index);
            std::memset(silence, 0, buffer_bytes);
            const int err = write_buffer(*device, silence);
            if (err < 0) {
                lose_device(err);
                return;
            }
            ring_index = (ring_index + 1) % shared.ring.buffers;
        }
        last_progress = Clock::now();
    }

    // The device failed. Where the output carries on, it goes back to the
    // opener to be closed (closing can wait on the server), and the opener
    // looks for a new one at once; else it is closed at the end.
    void lose_device(int error) {
        if (!silent) {
            say_no_sound(NoSound::lost, DeviceError{error, 0});
        }
        if (!carries_on_without_device) {
            gave_up = true;
            return;
        }
        shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.to_close = device;
        shared.device_wanted = true;
        shared.device_open = false;
        shared.opener_wake.notify_all();
        device = nullptr;
    }

    // Waits for the device to finish a buffer (or for the next buffer's
    // time, while silent), refills what it finished, and notices a device
    // that fails or stops taking audio.
    void wait_and_refill() {
        const Clock::time_point before = Clock::now();
        int wait_ms = device_wait_ms;
        if (silent) {
            const auto until_buffer = std::chrono::ceil<std::chrono::milliseconds>(next_buffer - before);
            wait_ms = std::clamp(static_cast<int>(until_buffer.count()), 0, device_wait_ms);
        }
        long result = wait_for_buffer(*device, wait_ms);
        if (result >= 0) {
            result = refill_finished();
        }
        if (result < 0) {
            // An underrun restarts the device with an empty queue, which the
            // next pass fills again; any other error means it has gone.
            result = recover_device(*device, static_cast<int>(result));
        }
        shared.underruns_recovered.store(underruns_recovered(*device), std::memory_order_relaxed);
        if (result < 0) {
            lose_device(static_cast<int>(result));
            return;
        }
        const Clock::time_point now = Clock::now();
        if (result > 0) {
            last_progress = now;
            silent = false;
        } else if (carries_on_without_device && !silent &&
                   now - last_progress > std::chrono::milliseconds(answer_limit_ms)) {
            // A device that takes nothing for a second: its server is
            // stopped (or the whole machine was). Kept, since it may resume.
            say_no_sound(NoSound::not_answering, DeviceError{});
        }
        if (silent) {
            keep_time(now);
        }
    }

    void wait_for_device() {
        std::unique_lock<std::mutex> lock(shared.mutex);
        const Clock::time_point deadline =
            silent ? next_buffer : Clock::now() + std::chrono::milliseconds(device_wait_ms);
        shared.audio_wake.wait_until(lock, deadline, [&] {
            return shared.quit || shared.ready != nullptr || shared.failed_opens != failed_opens_seen;
        });
        if (shared.quit) {
            return;
        }
        if (shared.ready != nullptr) {
            SoundDevice* opened = shared.ready;
            shared.ready = nullptr;
            shared.device_open = true;
            shared.granted = granted_format(*opened);
            lock.unlock();
            take_device(opened);
            return;
        }
        const bool failed = shared.failed_opens != failed_opens_seen;
        failed_opens_seen = shared.failed_opens;
        const DeviceError error = shared.open_error;
        const bool hanging = shared.opening && Clock::now() - shared.opening_since >=
                                                   std::chrono::milliseconds(answer_limit_ms);
        lock.unlock();
        if (!silent && failed) {
            say_no_sound(NoSound::cannot_open, error);
        } else if (!silent && hanging && carries_on_without_device) {
            say_no_sound(NoSound::not_answering, DeviceError{});
        }
        if (failed && !carries_on_without_device) {
            gave_up = true;
        } else if (silent) {
            keep_time(Clock::now());
        }
    }

    // At the end: the queued audio plays out, unless the device has stopped
    // taking it.
    void finish() {
        if (device == nullptr) {
            return;
        }
        shared.phase.store(AudioPhase::draining, std::memory_order_release);
        // A device that never plays its queue out would not close either
        // (closing waits for it without limit): cut it off, so that the
        // thread still ends well within stop_audio's wait.
        if (silent || !drain_device(*device, drain_limit_ms)) {
            cut_off_device(*device);
        }
        close_device(device);
        device = nullptr;
    }
};

}  // namespace

void run_audio_thread(std::shared_ptr<OutputShared> owner) {
    name_this_thread("pluck audio");
    OutputShared& shared = *owner;
    if (shared.raise_priority) {
        shared.priority.store(raise_thread_priority(), std::memory_order_relaxed);
    }
    Player player(shared);
    while (!shared.quit.load(std::memory_order_acquire) && !player.gave_up) {
        if (player.device != nullptr) {
            player.wait_and_refill();
        } else {
            player.wait_for_device();
        }
    }
    player.finish();
    shared.phase.store(AudioPhase::ended, std::memory_order_release);
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.device_open = false;
    shared.audio_done = true;
    shared.ended.notify_all();
    shared.opener_wake.notify_all();
}

}  // namespace pluck
