// The audio output thread: keeps the sound device supplied from a ring of
// six 512-frame buffers, each refilled by the fill callback as it finishes
// playing.
#pragma once

#include <cstdint>

#include "engine/render.h"

namespace pluck {

// The thread and what it shares with whoever started it.
struct AudioOutput;
using AudioHandle = AudioOutput*;

// How long `stop_audio` waits for the thread to end.
constexpr int stop_wait_ms = 5000;
// How long the thread waits on the device before looking at the quit request
// again when the device stays silent.
constexpr int device_wait_ms = 50;
// How long the queued buffers may take to play out after a quit request
// (normally about 70 ms).
constexpr int drain_limit_ms = 1000;

// What the device granted. A system may round the period and buffer asked
// for; whatever it grants, the output keeps at most `queue_frames` queued.
struct GrantedFormat {
    uint32_t rate_hz = 0;
    uint32_t period_frames = 0;  // asked: 512
    uint32_t buffer_frames = 0;  // asked: six periods, 3072
    uint32_t queue_frames = 0;   // six blocks, or as many whole blocks as the buffer holds
};

enum class AudioPhase : int32_t { starting, playing, draining, ended };

// What the thread is doing, for tests and debugging.
struct AudioStatus {
    AudioPhase phase = AudioPhase::ended;
    bool quit_requested = false;
    bool device_opened = false;
    GrantedFormat granted;             // meaningful once the device is open
    uint64_t buffers_filled = 0;       // calls of the fill callback
    uint32_t underruns_recovered = 0;  // times the device ran dry and was restarted
};

// Starts the thread, which opens the system's default sound output (ALSA's
// "default" PCM on Linux, the wave mapper on Windows), queues six buffers of
// silence and then has `fill` refill each buffer, in ring order, as the
// device finishes it. Returns a null handle when the thread cannot start.
// A device that cannot be opened ends the thread at once with one line on
// standard error: "pluck: no sound: <reason>".
AudioHandle start_audio(FillCallback fill);

// Asks the thread to quit (no more refills; the queued audio plays out),
// waits for it at most `stop_wait_ms` and releases the handle either way.
// Returns whether the thread had ended. A null handle: nothing, true.
bool stop_audio(AudioHandle handle);

// The thread's current state; a null handle reads as ended.
AudioStatus audio_status(AudioHandle handle);

}  // namespace pluck
