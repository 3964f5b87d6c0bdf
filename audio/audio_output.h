// The audio output thread: keeps the sound device supplied from a ring of
// (normally six 512-frame) buffers, each refilled by the fill callback as it
// finishes playing, and finds the device again when it is lost.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/ring_layout.h"
#include "engine/render.h"
#include "engine/tuning.h"

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
// A device that takes no audio for this long, or an open that has not come
// back after it, counts as a sound server that does not answer.
constexpr int answer_limit_ms = 1000;
// A device that takes nothing for a ring's time after a buffer was due (and
// at least this long) has stopped playing: from then on the instrument's time
// is kept by the clock, from the buffer it did not take.
constexpr int stall_floor_ms = 250;
// The most time made up at once when the output finds it is behind the
// clock: time during which the whole process was stopped is not made up.
constexpr int catch_up_limit_ms = 2 * answer_limit_ms;
// Pause between attempts to open a device that failed to open.
constexpr int retry_interval_ms = 1000;
// How long `stop_audio` waits for the thread that opens devices, which may
// be stuck in an open that a stopped server never answers: nothing was
// played through it, so there is nothing to wait for.
constexpr int opener_stop_wait_ms = 200;

// What to play on; copied at start.
struct AudioSettings {
    // The sound device: an ALSA PCM name on Linux; on Windows a device's
    // number or its name, "default" being the wave mapper.
    const char* device_name = "default";
    int32_t ring_buffers = ring_buffer_count;      // buffers in the ring, 1 to max_ring_buffers
    int32_t buffer_frames = pluck::buffer_frames;  // frames in each, min_buffer_frames to 512
    // Ask the system to run the audio thread ahead of ordinary threads: a
    // small ring has no time to spare for a late wake-up.
    bool raise_priority = false;
};

// What the audio thread's priority became.
enum class ThreadPriority : int32_t {
    ordinary,  // not raised: not asked for, or not allowed
    nice,      // a lower nice value (Linux)
    realtime,  // real-time scheduling, or Windows' time-critical priority
};

// What the device granted. A system may round the buffer and the ring asked
// for; whatever it grants, the output writes whole buffers of the size
// asked, and keeps at most `queue_frames` queued.
struct GrantedFormat {
    uint32_t rate_hz = 0;
    uint32_t buffer_frames = 0;  // the device's own step, asked as one buffer (512 by default)
    uint32_t ring_frames = 0;    // what the device holds, asked as the whole ring (3072 for six of 512)
    uint32_t queue_frames = 0;   // the whole ring, or as many whole buffers as the device holds
};

enum class AudioPhase : int32_t {
    starting,   // before the first device answered or failed
    playing,    // a device is open (it may have stopped taking audio)
    no_device,  // "no sound" said; keeping time and trying again
    draining,   // quit: the queue plays out
    ended,
};

// What the thread is doing, for tests and debugging.
struct AudioStatus {
    AudioPhase phase = AudioPhase::ended;
    ThreadPriority priority = ThreadPriority::ordinary;
    bool quit_requested = false;
    bool device_opened = false;        // a device is open now
    GrantedFormat granted;             // the last device opened
    uint32_t devices_opened = 0;       // successful opens so far
    uint32_t open_attempts = 0;        // opens tried so far, successful or not
    uint64_t buffers_filled = 0;       // calls of the fill callback
    uint32_t underruns_recovered = 0;  // times the device ran dry and was restarted
};

// Starts the thread, which opens the device, queues a ring of buffers of
// silence and then has `fill` refill each buffer, in ring order, as the
// device finishes it: `fill` renders, and is where a recording takes its
// copy of what is played. Returns a null handle when the thread cannot
// start.
//
// `fill` is called at the pace of real time, whatever the device does: a
// device that takes sound faster (a file, the null device) is held to it,
// and while there is no sound what it renders is dropped, so that every
// moment of the clock is played (and recorded) once.
//
// Without sound (the device cannot be opened, its server does not answer, or
// the device fails while playing) the thread says so in one line on standard
// error, "pluck: no sound: <what, on which device, what to check>", once for
// each stretch without sound, and tries again every second until it has a
// device. A device that stops taking audio is said after a second, but time
// is kept from the first buffer it did not take: notes plucked meanwhile
// ring on, fade as they would have, are recorded where they were played,
// and are heard where they are when sound returns.
AudioHandle start_audio(FillCallback fill, const AudioSettings& settings = AudioSettings{});

// Asks the thread to quit (no more refills; the queued audio plays out
// unless the device has stopped taking it), waits for it at most
// `stop_wait_ms`, and for the thread that opens devices at most
// `opener_stop_wait_ms`, and releases the handle either way. Returns whether
// the audio thread had ended. A null handle: nothing, true.
bool stop_audio(AudioHandle handle);

// The thread's current state; a null handle reads as ended.
AudioStatus audio_status(AudioHandle handle);

// A sound device that can be played on: the name to give as the device, and
// what the system says of it.
struct OutputDevice {
    std::string name;
    std::string description;
};

// The devices the system lists for playback, the default first.
std::vector<OutputDevice> output_devices();

}  // namespace pluck
