// The two threads of the audio output, and everything they share with
// whoever started them. All three hold it, so a thread left running after
// `stop_audio` gave up on it still has it.
//
// Two threads, because opening a device can take as long as a stopped sound
// server keeps it waiting: the opener opens (and closes) devices, and may
// hang in there; the audio thread plays, keeps the instrument's time when
// there is no device, and says what is wrong. Neither holds the mutex for
// longer than it takes to hand a device over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/audio_output.h"
#include "audio/sound_device.h"

namespace pluck {

using OutputClock = std::chrono::steady_clock;

struct OutputShared {
    FillCallback fill = nullptr;
    std::string device_name;
    RingLayout ring;
    bool raise_priority = false;
    // The ring's samples: made (zero, silence) before the threads start and
    // freed after both let go. The only heap memory the audio thread uses.
    std::unique_ptr<float[]> ring_samples;

    std::atomic<bool> quit{false};  // set under `mutex`, read anywhere
    std::atomic<AudioPhase> phase{AudioPhase::starting};
    std::atomic<ThreadPriority> priority{ThreadPriority::ordinary};
    std::atomic<uint64_t> buffers_filled{0};
    std::atomic<uint32_t> underruns_recovered{0};
    std::atomic<uint32_t> open_attempts{0};
    std::atomic<uint32_t> devices_opened{0};

    std::mutex mutex;
    std::condition_variable audio_wake;   // a device is ready, an open failed, quit
    std::condition_variable opener_wake;  // a device is wanted or to be closed, quit, the audio thread ended
    std::condition_variable ended;
    // Under `mutex`:
    bool device_wanted = true;        // the audio thread has no device and wants one
    SoundDevice* ready = nullptr;     // opened, not yet taken by the audio thread
    SoundDevice* to_close = nullptr;  // given back by the audio thread after it failed
    bool opening = false;             // the opener is inside an open
    OutputClock::time_point opening_since;
    uint32_t failed_opens = 0;  // and the last one's error:
    DeviceError open_error;
    bool device_open = false;  // the audio thread holds a device
    GrantedFormat granted;
    bool audio_done = false;
    bool opener_done = false;
};

// The audio thread: takes devices from the opener and keeps them supplied,
// and keeps the instrument's time without one, until the quit request.
void run_audio_thread(std::shared_ptr<OutputShared> owner);

// The opener thread: opens a device whenever the audio thread wants one,
// again each second while that fails, and closes those given back.
void run_opener_thread(std::shared_ptr<OutputShared> owner);

}  // namespace pluck
