// The sound device beneath the audio output, as every backend offers it:
// open, write the ring's buffers, wait, drain, close. One backend a build,
// chosen by CMake: ALSA (sound_device_alsa.cpp) or winmm's wave output
// (sound_device_winmm.cpp). The output's core (audio_player, device_opener)
// does everything else the same way on both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/audio_output.h"
#include "audio/no_sound.h"

namespace pluck {

// An open device, as its backend holds it.
struct SoundDevice;

// Why a device cannot be opened or has failed: the system's error code, and
// where it failed, in the backend's own numbering.
struct DeviceError {
    int code = 0;
    int32_t step = 0;
};

// Called once on the starting thread, before any device is opened.
void prepare_sound_devices();

// Opens the device `name` for a ring of `ring.buffers` buffers of
// `ring.buffer_frames`, written in ring order; it starts
// playing once the whole ring is queued. Returns null with `error` set when
// it cannot. May wait as long as a stopped sound server keeps it waiting, so
// never called on the audio thread.
SoundDevice* open_device(const char* name, const RingLayout& ring, DeviceError& error);

// What the device granted.
GrantedFormat granted_format(const SoundDevice& device);

// Waits until at least one buffer can be written, at most `timeout_ms`.
// Returns 1 when one can, 0 on time-out, or a negative error code.
int wait_for_buffer(SoundDevice& device, int timeout_ms);

// The buffers that can be written now, each one whose place in the queue
// has been played, or a negative error code.
long free_buffers(SoundDevice& device);

// Queues the ring's next buffer, `samples`. Returns 0, or a negative error
// code when the device has gone.
int write_buffer(SoundDevice& device, float* samples);

// After an error from the calls above: 0 when the device was restarted (it
// ran dry), else the error (it has gone).
int recover_device(SoundDevice& device, int error);

// Times the device ran dry and was restarted.
uint32_t underruns_recovered(const SoundDevice& device);

// Lets the queued buffers play out. False when `limit_ms` ran out with
// audio still queued: the device has stopped taking it.
bool drain_device(SoundDevice& device, int limit_ms);

// Gives up what is still queued on a device that stopped taking audio, so
// that closing it does not wait for it.
void cut_off_device(SoundDevice& device);

// Stops and closes the device, and frees it; null: nothing.
void close_device(SoundDevice* device);

// Writes the line that says why there is no sound (write_no_sound_line)
// into `out`, or an empty string where the backend has nothing to say.
void describe_no_sound(char* out, size_t size, NoSound what, const DeviceError& error,
                       const char* device_name);

}  // namespace pluck
