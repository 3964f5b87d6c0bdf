#include <algorithm>
#include <cstring>
#include <thread>

#include "audio/no_sound.h"
#include "audio/output_threads.h"
#include "audio/thread_priority.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

using Clock = OutputClock;

// Whole seconds and the rest apart, so that it holds for centuries of frames.
Clock::duration time_of(int64_t frames) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(frames / sample_rate_hz) +
        std::chrono::nanoseconds(frames % sample_rate_hz * 1'000'000'000 / sample_rate_hz));
}

int ms_until(Clock::time_point when, Clock::time_point now) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now);
    return std::clamp(static_cast<int>(left.count()), 0, device_wait_ms);
}

// When the next buffer is due at the pace of real time: counted in whole
// frames from an origin, so that it never drifts however long it runs.
struct Schedule {
    Clock::time_point origin;
    int64_t frames = 0;

    Clock::time_point due() const {
        return origin + time_of(frames);
    }
    void restart(Clock::time_point at) {
        origin = at;
        frames = 0;
    }
};

struct Player {
    explicit Player(OutputShared& owner)
        : shared(owner),
          ring(owner.ring_samples.get()),
          buffer_samples(static_cast<uint32_t>(owner.ring.buffer_frames) * channel_count),
          buffer_bytes(static_cast<uint32_t>(owner.ring.buffer_frames) * frame_bytes),
          buffer_time(time_of(owner.ring.buffer_frames)),
          ring_time(time_of(owner.ring.frames())),
          stall_limit(std::max<Clock::duration>(ring_time, std::chrono::milliseconds(stall_floor_ms))),
          pace_slack(std::max<Clock::duration>(2 * ring_time, std::chrono::milliseconds(stall_floor_ms))) {
        next.restart(Clock::now());
    }

    OutputShared& shared;
    float* ring = nullptr;
    const uint32_t buffer_samples;
    const uint32_t buffer_bytes;
    const Clock::duration buffer_time;  // how long the device takes to play one buffer
    const Clock::duration ring_time;    // and the whole ring
    // A device that takes nothing for this long after its last buffer, once
    // open a second, has stopped playing (its queue has run dry): time is
    // kept by the clock.
    const Clock::duration stall_limit;
    const Clock::duration pace_slack;  // how far ahead of the clock a device may take buffers
    const Clock::duration answer_limit = std::chrono::milliseconds(answer_limit_ms);
    int ring_index = 0;  // the buffer refilled next
    SoundDevice* device = nullptr;
    // Whether the present stretch without sound has been said.
    bool said = false;
    // No device, or one that stopped taking audio: the buffers are rendered
    // when the clock says they are due, and dropped.
    bool by_clock = false;
    Clock::time_point opened_at;      // when the device was taken
    Schedule next;                    // when the next buffer is due
    Clock::time_point last_progress;  // while playing: when a buffer was last queued
    uint32_t failed_opens_seen = 0;

    float* buffer(int index) const {
        return ring + static_cast<size_t>(index) * buffer_samples;
    }

    void fill_next() {
        shared.fill(buffer(ring_index), buffer_bytes);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        ring_index = (ring_index + 1) % shared.ring.buffers;
        next.frames += shared.ring.buffer_frames;
    }

    // Said only when there is no sound to be late with: no device, or one
    // that takes nothing.
    void say_no_sound(NoSound what, const DeviceError& error) {
        char line[512];
        describe_no_sound(line, sizeof line, what, error, shared.device_name.c_str());
        if (line[0] != '\0') {
            say_no_sound_line(line);
        }
        said = true;
        keep_time_from_now_on();
        if (device == nullptr) {
            shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        }
    }

    // The device takes no more: from now on the buffers are due by the
    // clock, from the first one it did not take (or from its last one, if
    // the thread itself was late), and so is every one due by now.
    void keep_time_from_now_on() {
        if (!by_clock) {
            by_clock = true;
            next.restart(std::max(next.due(), last_progress));
        }
        keep_time(Clock::now());
    }

    // Renders every buffer due by `now`, from the first one the device did
    // not take: plucks made while there is no sound ring on and fade as they
    // would have, are recorded where they were played, and are heard where
    // they are by then when sound returns. Time during which the whole
    // process was stopped is not made up beyond `catch_up_limit_ms`.
    void keep_time(Clock::time_point now) {
        if (now - next.due() > std::chrono::milliseconds(catch_up_limit_ms)) {
            next.restart(now - std::chrono::milliseconds(catch_up_limit_ms));
        }
        while (next.due() <= now) {
            fill_next();
        }
    }

    // A device that takes sound faster than real time (a file, the null
    // device) is held to it: no buffer is rendered more than `pace_slack`
    // ahead of its time. A device that plays in real time never waits here,
    // even when it takes more than a ring at its start (PipeWire does).
    void pace() {
        const Clock::time_point earliest = next.due() - pace_slack;
        if (Clock::now() < earliest) {
            std::this_thread::sleep_until(earliest);
        }
    }

    // Refills, in ring order, every buffer whose place in the queue has been
    // played, however many finished since the last look. Returns the buffers
    // queued, or the device's error code.
    // `waited`: the device kept the thread waiting for them, so it plays at
    // its own pace, which the schedule follows from here.
    long refill_finished(bool waited) {
        const long finished = free_buffers(*device);
        if (finished < 0) {
            return finished;
        }
        if (finished > 0 && waited) {
            next.restart(Clock::now());
        }
        long queued = 0;
        for (long left = finished; left > 0; --left) {
            pace();
            if (shared.quit.load(std::memory_order_acquire)) {
                break;
            }
            float* next_samples = buffer(ring_index);
            fill_next();
            const int err = write_buffer(*device, next_samples);
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
        said = false;
        by_clock = false;
        shared.phase.store(AudioPhase::playing, std::memory_order_release);
        next.restart(Clock::now());
        for (int i = 0; i < shared.ring.buffers; ++i) {
            float* silence = buffer(ring_index);
            std::memset(silence, 0, buffer_bytes);
            const int err = write_buffer(*device, silence);
            if (err < 0) {
                lose_device(err);
                return;
            }
            ring_index = (ring_index + 1) % shared.ring.buffers;
            next.frames += shared.ring.buffer_frames;
        }
        last_progress = Clock::now();
        opened_at = last_progress;
    }

    // The device failed: it goes back to the opener to be closed (closing
    // can wait on the server), and the opener looks for a new one at once.
    void lose_device(int error) {
        if (!said) {
            say_no_sound(NoSound::lost, DeviceError{error, 0});
        }
        shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.to_close = device;
        shared.device_wanted = true;
        shared.device_open = false;
        shared.opener_wake.notify_all();
        device = nullptr;
    }

    // Waits for the device to finish a buffer (while time is kept by the
    // clock, no longer than the next buffer's time), refills what it
    // finished, and notices a device that fails or stops taking audio.
    void wait_and_refill() {
        const Clock::time_point before = Clock::now();
        const Clock::time_point until =
            by_clock ? next.due() : std::max(last_progress + stall_limit, opened_at + answer_limit);
        long result = wait_for_buffer(*device, ms_until(until, before));
        if (result >= 0) {
            result = refill_finished(Clock::now() - before >= buffer_time / 2);
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
            said = false;
            by_clock = false;
            return;
        }
        // A device that takes nothing: its server is stopped (or the whole
        // machine was). Kept, since it may resume; meanwhile time runs on,
        // and after a second it is said. One opened less than a second ago
        // may just be slow to start.
        if (now - last_progress >= stall_limit && now - opened_at >= answer_limit) {
            keep_time_from_now_on();
        }
        if (!said && now - last_progress > answer_limit) {
            say_no_sound(NoSound::not_answering, DeviceError{});
        }
        if (by_clock) {
            keep_time(now);
        }
    }

    void wait_for_device() {
        std::unique_lock<std::mutex> lock(shared.mutex);
        const Clock::time_point deadline =
            by_clock ? next.due() : Clock::now() + std::chrono::milliseconds(device_wait_ms);
        shared.audio_wake.wait_until(lock, deadline, [&] {
            return shared.quit || shared.ready != nullptr || shared.failed_opens != failed_opens_seen;
        });
        // A failure already in is said even at a quit: the player asked
        // for that device.
        if (!shared.quit && shared.ready != nullptr) {
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
        const bool hanging =
            !shared.quit && shared.opening && Clock::now() - shared.opening_since >= answer_limit;
        lock.unlock();
        if (!said && failed) {
            say_no_sound(NoSound::cannot_open, error);
        } else if (!said && hanging) {
            say_no_sound(NoSound::not_answering, DeviceError{});
        }
        if (by_clock) {
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
        if (by_clock || !drain_device(*device, drain_limit_ms)) {
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
    while (!shared.quit.load(std::memory_order_acquire)) {
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
