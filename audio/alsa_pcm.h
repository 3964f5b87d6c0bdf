// The sound device beneath the audio output: an ALSA PCM opened in the
// instrument's format, fed in whole blocks (512 frames unless a smaller ring
// was asked for), kept at most a ring's worth of blocks ahead.
#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;

namespace pluck {

// What the device granted. ALSA may round the period and buffer asked for;
// whatever it grants, the output keeps at most `queue_frames` queued.
struct PcmConfig {
    uint32_t rate_hz = 0;
    uint32_t block_frames = 0;   // the frames of each block written
    uint32_t period_frames = 0;  // asked: one block
    uint32_t buffer_frames = 0;  // asked: one period per ring buffer, 3072 for six of 512
    uint32_t queue_frames = 0;   // the ring's blocks, or as many whole blocks as the buffer holds
};

// Where opening a device failed: a device that cannot be reached at all
// needs other advice than one that will not take the instrument's format.
enum class PcmStep : int32_t { open, configure };

struct Pcm {
    snd_pcm_t* handle = nullptr;
    PcmConfig config;
    uint32_t underruns = 0;             // recovered so far
    PcmStep failed_at = PcmStep::open;  // after `pcm_open` failed
};

// Opens `device_name` for non-blocking playback of interleaved stereo
// float32 at 44.1 kHz, with a period of one block of `block_frames` and a
// buffer of `ring_blocks` blocks (at least one). Playback starts by itself once
// `queue_frames` have been written. Returns 0, or a negative ALSA error code
// (for `pcm_error_text`) with nothing left open and `failed_at` set. With a
// sound server that is stopped, this can wait a long time (libpulse gives up
// after 30 s).
int pcm_open(Pcm& pcm, const char* device_name, int ring_blocks, uint32_t block_frames = 512);

// Waits until at least one block can be queued, at most `timeout_ms`.
// Returns 1 when it can, 0 on time-out, or a negative ALSA error code
// (an underrun, or a device that has gone).
int pcm_wait(Pcm& pcm, int timeout_ms);

// Frames that can be queued now without going past `queue_frames`, or a
// negative ALSA error code.
long pcm_writable_frames(Pcm& pcm);

// Queues `frames` frames of `samples`, recovering from underruns on the way.
// Returns 0, or a negative ALSA error code when the device has gone.
int pcm_write_block(Pcm& pcm, const float* samples, uint32_t frames);

// After an error from the calls above: restarts the device after an underrun
// or a suspend (returns 0); any other error means the device has gone (the
// error is returned).
int pcm_recover(Pcm& pcm, int error);

// Lets what is queued play out. Returns false when `limit_ms` ran out with
// audio still queued: the device has stopped taking it.
bool pcm_drain(Pcm& pcm, int limit_ms);

// Stops the device and closes it; safe on a closed Pcm.
void pcm_close(Pcm& pcm);

// Lets go of a device that stopped responding, without closing it: closing
// stops the device first, and the sound library waits for that without a
// time limit. Only for the end of the program's sound.
void pcm_abandon(Pcm& pcm);

// ALSA's text for an error code.
const char* pcm_error_text(int error);

// Stops ALSA printing its own diagnostics on standard error: the output
// reports a failure in one line of its own.
void silence_alsa_messages();

}  // namespace pluck
