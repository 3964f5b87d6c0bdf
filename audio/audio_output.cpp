#include "audio/audio_output.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "audio/alsa_no_sound.h"
#include "audio/alsa_pcm.h"

namespace pluck {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the two threads of the output share with their starter. All
// three hold it, so a thread left running after `stop_audio` gave up on it
// still has it.
//
// Two threads, because opening a device can take as long as a stopped sound
// server keeps it waiting: the opener opens (and closes) devices, and may
// hang in there; the audio thread plays, keeps the instrument's time when
// there is no device, and says what is wrong. Neither holds the mutex for
// longer than it takes to hand a device over.
struct Shared {
    FillCallback fill = nullptr;
    std::string device_name;
    int32_t ring_buffers = ring_buffer_count;
    uint32_t block_frames = buffer_frames;
    bool raise_priority = false;
    // The ring: made before the threads start and freed after both let go.
    std::unique_ptr<float[]> ring;

    std::atomic<bool> quit{false};  // set under `mutex`, read anywhere
    std::atomic<AudioPhase> phase{AudioPhase::starting};
    std::atomic<ThreadPriority> priority{ThreadPriority::ordinary};
    std::atomic<uint64_t> buffers_filled{0};
    std::atomic<uint32_t> underruns_recovered{0};
    std::atomic<uint32_t> open_attempts{0};
    std::atomic<uint32_t> devices_opened{0};

    std::mutex mutex;
    std::condition_variable audio_wake;   // a device is ready, an open failed, quit
    std::condition_variable opener_wake;  // a device is wanted or to be closed, quit
    std::condition_variable ended;
    // Under `mutex`:
    bool device_wanted = true;  // the audio thread has no device and wants one
    Pcm ready;                  // opened, not yet taken by the audio thread
    bool has_ready = false;
    Pcm to_close;  // given back by the audio thread after it failed
    bool has_to_close = false;
    bool opening = false;  // the opener is inside an open
    Clock::time_point opening_since;
    uint32_t failed_opens = 0;  // the last one's error and step:
    int open_error = 0;
    PcmStep open_failed_at = PcmStep::open;
    bool device_open = false;  // the audio thread holds a device
    GrantedFormat granted;
    bool audio_done = false;
    bool opener_done = false;
};

void say(const char* line) {
    std::fputs(line, stderr);
    std::fflush(stderr);
}

// Real-time scheduling where the system allows it (root, rtkit's limits,
// or RLIMIT_RTPRIO from limits.conf), else a lower nice value where that
// is allowed (RLIMIT_NICE), else the thread stays as it was: an ordinary
// user usually may do neither, and the instrument plays on all the same.
ThreadPriority raise_thread_priority() {
    const int most = sched_get_priority_max(SCHED_FIFO);
    sched_param param{};
    param.sched_priority = std::min(realtime_priority, most);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
        return ThreadPriority::realtime;
    }
    // Under a limit below ours (rtkit-style set-ups grant a few levels).
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, param.sched_priority));
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
            return ThreadPriority::realtime;
        }
    }
    // On Linux a nice value belongs to the thread, named by its id.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), raised_nice) == 0) {
        return ThreadPriority::nice;
    }
    return ThreadPriority::ordinary;
}

// ---- The opener thread -----------------------------------------------------

void opener_main(std::shared_ptr<Shared> owner) {
    pthread_setname_np(pthread_self(), "pluck opener");  // as top -H and /proc show it
    Shared& shared = *owner;
    // A sound server's ALSA plugin does the talking to its server in a
    // thread of its own, made while the device is opened here: it inherits
    // this thread's priority, and must wake as often as the audio thread.
    // This thread itself only sleeps, except while it opens a device.
    if (shared.raise_priority) {
        raise_thread_priority();
    }
    std::unique_lock<std::mutex> lock(shared.mutex);
    Clock::time_point next_attempt = Clock::now();
    for (;;) {
        shared.opener_wake.wait(lock, [&] {
            return shared.quit || shared.has_to_close || (shared.device_wanted && !shared.has_ready);
        });
        if (shared.has_to_close) {
            Pcm failed = shared.to_close;
            shared.has_to_close = false;
            lock.unlock();
            pcm_close(failed);
            lock.lock();
            continue;
        }
        if (shared.quit) {
            break;
        }
        if (Clock::now() < next_attempt) {
            shared.opener_wake.wait_until(lock, next_attempt,
                                          [&] { return shared.quit || shared.has_to_close; });
            continue;
        }
        shared.opening = true;
        shared.opening_since = Clock::now();
        lock.unlock();
        Pcm pcm;
        const int err = pcm_open(pcm, shared.device_name.c_str(), shared.ring_buffers, shared.block_frames);
        shared.open_attempts.fetch_add(1, std::memory_order_relaxed);
        lock.lock();
        shared.opening = false;
        if (err == 0) {
            shared.ready = pcm;
            shared.has_ready = true;
            shared.device_wanted = false;
            shared.devices_opened.fetch_add(1, std::memory_order_relaxed);
        } else {
            ++shared.failed_opens;
            shared.open_error = err;
            shared.open_failed_at = pcm.failed_at;
            next_attempt = Clock::now() + std::chrono::milliseconds(retry_interval_ms);
        }
        shared.audio_wake.notify_all();
    }
    // A device opened after the audio thread stopped looking.
    if (shared.has_ready) {
        Pcm unused = shared.ready;
        shared.has_ready = false;
        lock.unlock();
        pcm_close(unused);
        lock.lock();
    }
    shared.opener_done = true;
    shared.ended.notify_all();
}

// ---- The audio thread ------------------------------------------------------

struct Player {
    explicit Player(Shared& owner)
        : shared(owner),
          ring(owner.ring.get()),
          block_frames(owner.block_frames),
          block_samples(owner.block_frames * channel_count),
          block_bytes(owner.block_frames * frame_bytes),
          block_time(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(static_cast<double>(owner.block_frames) / sample_rate_hz))) {}

    Shared& shared;
    float* ring = nullptr;
    const uint32_t block_frames;
    const uint32_t block_samples;
    const uint32_t block_bytes;
    const Clock::duration block_time;  // how long the device takes to play one block
    int ring_index = 0;                // the buffer refilled next
    Pcm pcm;
    bool has_pcm = false;
    // Whether "no sound" has been said for the present stretch without
    // sound; while it is, the instrument keeps time by the clock.
    bool silent = false;
    Clock::time_point next_block;     // while silent: when the device would take the next block
    Clock::time_point last_progress;  // while playing: when a block was last queued
    uint32_t failed_opens_seen = 0;

    float* buffer(int index) const {
        return ring + static_cast<size_t>(index) * block_samples;
    }

    void fill_next() {
        shared.fill(buffer(ring_index), block_bytes);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        ring_index = (ring_index + 1) % shared.ring_buffers;
    }

    // Said only when there is no sound to be late with: no device, or one
    // that takes nothing.
    void say_no_sound(NoSound what, int error, PcmStep failed_at) {
        char line[512];
        describe_no_sound(line, sizeof line, what, error, failed_at, shared.device_name.c_str());
        say(line);
        silent = true;
        if (!has_pcm) {
            shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        }
        next_block = Clock::now();
    }

    // Renders the blocks the device would have taken by `now`: plucks made
    // while there is no sound ring on and fade as they would have, and are
    // heard when sound returns. At most a ring's worth at once: time during
    // which the whole process was stopped is not made up.
    void keep_time(Clock::time_point now) {
        for (int n = 0; next_block <= now; ++n) {
            if (n == shared.ring_buffers) {
                next_block = now + block_time;
                return;
            }
            fill_next();
            next_block += block_time;
        }
    }

    // Refills, in ring order, every buffer whose place in the queue has been
    // played, however many finished since the last look. Returns the blocks
    // queued, or an ALSA error code.
    long refill_finished() {
        const long writable = pcm_writable_frames(pcm);
        if (writable < 0) {
            return writable;
        }
        long queued = 0;
        for (long free_blocks = writable / block_frames; free_blocks > 0; --free_blocks) {
            if (shared.quit.load(std::memory_order_acquire)) {
                break;
            }
            float* next = buffer(ring_index);
            fill_next();
            const int err = pcm_write_block(pcm, next, block_frames);
            if (err < 0) {
                return err;
            }
            ++queued;
        }
        return queued;
    }

    // A device from the opener: a ring of silence first, then the refills.
    void take_device(const Pcm& opened) {
        pcm = opened;
        has_pcm = true;
        silent = false;
        shared.phase.store(AudioPhase::playing, std::memory_order_release);
        for (int i = 0; i < shared.ring_buffers; ++i) {
            float* block = buffer(ring_index);
            std::memset(block, 0, block_bytes);
            const int err = pcm_write_block(pcm, block, block_frames);
            if (err < 0) {
                lose_device(err);
                return;
            }
            ring_index = (ring_index + 1) % shared.ring_buffers;
        }
        last_progress = Clock::now();
    }

    // The device failed: it goes back to the opener to be closed (closing
    // can wait on the server), and the opener looks for a new one at once.
    void lose_device(int error) {
        if (!silent) {
            say_no_sound(NoSound::lost, error, PcmStep::open);
        }
        shared.phase.store(AudioPhase::no_device, std::memory_order_release);
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.to_close = pcm;
        shared.has_to_close = true;
        shared.device_wanted = true;
        shared.device_open = false;
        shared.opener_wake.notify_all();
        pcm = Pcm{};
        has_pcm = false;
    }

    void play_pass() {
        const Clock::time_point before = Clock::now();
        int wait_ms = device_wait_ms;
        if (silent) {
            const auto until_block = std::chrono::ceil<std::chrono::milliseconds>(next_block - before);
            wait_ms = std::clamp(static_cast<int>(until_block.count()), 0, device_wait_ms);
        }
        long result = pcm_wait(pcm, wait_ms);
        if (result >= 0) {
            result = refill_finished();
        }
        if (result < 0) {
            // An underrun restarts the device with an empty queue, which the
            // next pass fills again; any other error means it has gone.
            result = pcm_recover(pcm, static_cast<int>(result));
        }
        shared.underruns_recovered.store(pcm.underruns, std::memory_order_relaxed);
        if (result < 0) {
            lose_device(static_cast<int>(result));
            return;
        }
        const Clock::time_point now = Clock::now();
        if (result > 0) {
            last_progress = now;
            silent = false;
        } else if (!silent && now - last_progress > std::chrono::milliseconds(answer_limit_ms)) {
            // A device that takes nothing for a second: its server is
            // stopped (or the whole machine was). Kept, since it may resume.
            say_no_sound(NoSound::not_answering, 0, PcmStep::open);
        }
        if (silent) {
            keep_time(now);
        }
    }

    void wait_for_device() {
        std::unique_lock<std::mutex> lock(shared.mutex);
        const Clock::time_point deadline =
            silent ? next_block : Clock::now() + std::chrono::milliseconds(device_wait_ms);
        shared.audio_wake.wait_until(lock, deadline, [&] {
            return shared.quit || shared.has_ready || shared.failed_opens != failed_opens_seen;
        });
        if (shared.quit) {
            return;
        }
        if (shared.has_ready) {
            const Pcm opened = shared.ready;
            shared.has_ready = false;
            shared.device_open = true;
            const PcmConfig& c = opened.config;
            shared.granted = GrantedFormat{c.rate_hz, c.period_frames, c.buffer_frames, c.queue_frames};
            lock.unlock();
            take_device(opened);
            return;
        }
        const bool failed = shared.failed_opens != failed_opens_seen;
        failed_opens_seen = shared.failed_opens;
        const int error = shared.open_error;
        const PcmStep failed_at = shared.open_failed_at;
        const bool hanging = shared.opening && Clock::now() - shared.opening_since >=
                                                   std::chrono::milliseconds(answer_limit_ms);
        lock.unlock();
        if (!silent && failed) {
            say_no_sound(NoSound::cannot_open, error, failed_at);
        } else if (!silent && hanging) {
            say_no_sound(NoSound::not_answering, 0, PcmStep::open);
        }
        if (silent) {
            keep_time(Clock::now());
        }
    }

    // After the quit request: the queued audio plays out, unless the device
    // has stopped taking it.
    void finish() {
        if (!has_pcm) {
            return;
        }
        shared.phase.store(AudioPhase::draining, std::memory_order_release);
        // A device that never plays its queue out would not close either
        // (closing waits for it without limit): leave it, so that the thread
        // still ends well within stop_audio's wait.
        if (silent || !pcm_drain(pcm, drain_limit_ms)) {
            pcm_abandon(pcm);
        }
        pcm_close(pcm);
    }
};

void audio_main(std::shared_ptr<Shared> owner) {
    pthread_setname_np(pthread_self(), "pluck audio");
    Shared& shared = *owner;
    if (shared.raise_priority) {
        shared.priority.store(raise_thread_priority(), std::memory_order_relaxed);
    }
    Player player(shared);
    while (!shared.quit.load(std::memory_order_acquire)) {
        if (player.has_pcm) {
            player.play_pass();
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
}

// Waits at most `limit_ms` for `done`; joins the thread or leaves it.
bool end_thread(Shared& shared, std::thread& thread, const bool& done, int limit_ms) {
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
    std::shared_ptr<Shared> shared;
};

AudioHandle start_audio(FillCallback fill, const AudioSettings& settings) {
    if (settings.ring_buffers < 1 || settings.ring_buffers > max_ring_buffers ||
        settings.buffer_frames < min_buffer_frames || settings.buffer_frames > buffer_frames ||
        settings.device_name == nullptr) {
        return nullptr;
    }
    // ALSA's own messages would add lines of its own to the one this output
    // prints when there is no sound. Set here, before the threads exist.
    silence_alsa_messages();
    AudioOutput* output = new (std::nothrow) AudioOutput;
    if (output == nullptr) {
        return nullptr;
    }
    try {
        output->shared = std::make_shared<Shared>();
        Shared& shared = *output->shared;
        shared.fill = fill;
        shared.device_name = settings.device_name;
        shared.ring_buffers = settings.ring_buffers;
        shared.block_frames = static_cast<uint32_t>(settings.buffer_frames);
        shared.raise_priority = settings.raise_priority;
        // The ring, zero (silence) to begin with: the only heap memory the
        // audio thread uses.
        shared.ring.reset(
            new float[static_cast<size_t>(settings.buffer_frames) * channel_count * settings.ring_buffers]());
        output->audio = std::thread(audio_main, output->shared);
    } catch (...) {  // std::bad_alloc or std::system_error: no thread
        delete output;
        return nullptr;
    }
    try {
        output->opener = std::thread(opener_main, output->shared);
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
    Shared& shared = *handle->shared;
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
    Shared& shared = *handle->shared;
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
