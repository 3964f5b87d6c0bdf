// An ALSA PCM, as the audio output's ALSA backend (sound_device_alsa.cpp)
// uses it: opened in the instrument's format, with a period of one ring
// buffer (512 frames unless a smaller ring was asked for) and an ALSA buffer
// of the whole ring, fed in whole ring buffers and kept at most a ring ahead.
#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;

namespace pluck {

// What the device granted. ALSA may round the period and the ALSA buffer
// asked for; whatever it grants, the output writes whole ring buffers and
// keeps at most `queue_frames` queued.
struct PcmConfig {
    uint32_t rate_hz = 0;
    uint32_t buffer_frames = 0;          // the frames of each ring buffer written
    uint32_t granted_buffer_frames = 0;  // ALSA's period, asked as one ring buffer
    uint32_t ring_frames = 0;            // ALSA's buffer, asked as one period per ring buffer
    uint32_t queue_frames = 0;           // the whole ring, or as many ring buffers as ALSA's buffer holds
};

// Where opening a device failed: a device that cannot be reached at all
// needs other advice than one that will not take the instrument's format.
enum class PcmStep : int32_t { open, configure };

struct Pcm {
    snd_pcm_t* handle = nullptr;
    PcmConfig config;
    uint32_t underruns = 0;             // recovered so far
    uint32_t unfed_recoveries = 0;      // underruns recovered in a row with nothing written
    PcmStep failed_at = PcmStep::open;  // after `pcm_open` failed
};

// Opens `device_name` for non-blocking playback of interleaved stereo
// float32 at 44.1 kHz, with a period of one ring buffer of
// `ring_buffer_frames` and an ALSA buffer of `ring_buffers` of them (at least
// one). Playback starts by itself once `queue_frames` have been written. Returns 0, or a negative ALSA error
// code (for `pcm_error_text`) with nothing left open and `failed_at` set. With a sound server that is
// stopped, this can wait a long time (libpulse gives up after 30 s).
int pcm_open(Pcm& pcm, const char* device_name, int ring_buffers, uint32_t ring_buffer_frames);

// Waits until at least one ring buffer can be queued, at most `timeout_ms`.
// Returns 1 when it can, 0 on time-out, or a negative ALSA error code
// (an underrun, or a device that has gone).
int pcm_wait(Pcm& pcm, int timeout_ms);

// Frames that can be queued now without going past `queue_frames`, or a
// negative ALSA error code.
long pcm_writable_frames(Pcm& pcm);

// Queues `frames` frames of `samples`, recovering from underruns on the way.
// Returns 0, or a negative ALSA error code when the device has gone.
int pcm_write(Pcm& pcm, const float* samples, uint32_t frames);

// After an error from the calls above: restarts the device after an underrun
// or a suspend (returns 0); any other error means the device has gone (the
// error is returned), and so does an underrun that keeps coming back before
// anything is written (PipeWire's plugin reports its lost server so).
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
