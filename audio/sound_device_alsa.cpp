// The audio output's device on Linux: an ALSA PCM (alsa_pcm), whose "no
// sound" lines alsa_no_sound writes.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string_view>

#include "audio/alsa_pcm.h"
#include "audio/sound_device.h"

namespace pluck {

struct SoundDevice {
    Pcm pcm;
};

void prepare_sound_devices() {
    // ALSA's own messages would add lines of its own to the one the output
    // says when there is no sound.
    silence_alsa_messages();
}

SoundDevice* open_device(const char* name, const RingLayout& ring, DeviceError& error) {
    Pcm pcm;
    const int err = pcm_open(pcm, name, ring.buffers, static_cast<uint32_t>(ring.buffer_frames));
    if (err < 0) {
        error = DeviceError{err, static_cast<int32_t>(pcm.failed_at)};
        return nullptr;
    }
    SoundDevice* device = new (std::nothrow) SoundDevice{pcm};
    if (device == nullptr) {
        pcm_close(pcm);
        error = DeviceError{-ENOMEM, static_cast<int32_t>(PcmStep::open)};
    }
    return device;
}

GrantedFormat granted_format(const SoundDevice& device) {
    const PcmConfig& c = device.pcm.config;
    return GrantedFormat{c.rate_hz, c.granted_buffer_frames, c.ring_frames, c.queue_frames};
}

int wait_for_buffer(SoundDevice& device, int timeout_ms) {
    return pcm_wait(device.pcm, timeout_ms);
}

long free_buffers(SoundDevice& device) {
    const long writable = pcm_writable_frames(device.pcm);
    return writable < 0 ? writable : writable / device.pcm.config.buffer_frames;
}

int write_buffer(SoundDevice& device, float* samples) {
    return pcm_write(device.pcm, samples, device.pcm.config.buffer_frames);
}

int recover_device(SoundDevice& device, int error) {
    return pcm_recover(device.pcm, error);
}

uint32_t underruns_recovered(const SoundDevice& device) {
    return device.pcm.underruns;
}

bool drain_device(SoundDevice& device, int limit_ms) {
    return pcm_drain(device.pcm, limit_ms);
}

// Closing stops the device first, and the sound library waits for that
// without a time limit: let go of it instead.
void cut_off_device(SoundDevice& device) {
    pcm_abandon(device.pcm);
}

void close_device(SoundDevice* device) {
    if (device != nullptr) {
        pcm_close(device->pcm);
        delete device;
    }
}

std::vector<OutputDevice> output_devices() {
    std::vector<OutputDevice> devices{{"default", "the system's default sound output"}};
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) {
        return devices;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* description = snd_device_name_get_hint(*hint, "DESC");
        char* direction = snd_device_name_get_hint(*hint, "IOID");  // null: both ways
        const bool plays = direction == nullptr || std::string_view(direction) == "Output";
        if (name != nullptr && plays && std::string_view(name) != "default") {
            std::string text = description != nullptr ? description : "";
            std::replace(text.begin(), text.end(), '\n', ';');
            devices.push_back({name, text});
        }
        std::free(name);
        std::free(description);
        std::free(direction);
    }
    snd_device_name_free_hint(hints);
    return devices;
}

}  // namespace pluck
