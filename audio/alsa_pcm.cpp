#include "audio/alsa_pcm.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "engine/tuning.h"

namespace pluck {
namespace {

// A write that finds no room although the device said there was some is
// retried after a short wait; this many in a row means the device is stuck.
constexpr int stuck_write_retries = 40;
constexpr int stuck_write_wait_ms = 50;
constexpr int drain_poll_ms = 5;
// A device restarted after an underrun cannot run dry again before it is
// fed; a server's plugin may still report one stale underrun or two, but a
// lost PipeWire server reports one at once after every restart, thousands a
// second: this many in a row means the device has gone.
constexpr uint32_t gone_after_unfed_recoveries = 100;

int configure(snd_pcm_t* handle, snd_pcm_uframes_t ring_buffer_frames, snd_pcm_uframes_t ring_frames,
              PcmConfig& config) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(handle, hw);
    if (err < 0) {
        return err;
    }
    if ((err = snd_pcm_hw_params_set_rate_resample(handle, hw, 1)) < 0 ||
        (err = snd_pcm_hw_params_set_access(handle, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(handle, hw, SND_PCM_FORMAT_FLOAT_LE)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(handle, hw, channel_count)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(handle, hw, sample_rate_hz, 0)) < 0) {
        return err;
    }
    snd_pcm_uframes_t period = ring_buffer_frames;
    snd_pcm_uframes_t buffer = ring_frames;
    int dir = 0;
    if ((err = snd_pcm_hw_params_set_period_size_near(handle, hw, &period, &dir)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(handle, hw, &buffer)) < 0 ||
        (err = snd_pcm_hw_params(handle, hw)) < 0) {
        return err;
    }
    snd_pcm_hw_params_get_period_size(hw, &period, &dir);
    snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    // Whole ring buffers only, and never more than the ring: a larger ALSA
    // buffer would only add delay between a pluck and its sound.
    const snd_pcm_uframes_t queue = std::min(buffer, ring_frames) / ring_buffer_frames * ring_buffer_frames;
    if (queue == 0) {
        return -EINVAL;  // an ALSA buffer too small for one ring buffer
    }
    config.rate_hz = sample_rate_hz;
    config.buffer_frames = static_cast<uint32_t>(ring_buffer_frames);
    config.granted_buffer_frames = static_cast<uint32_t>(period);
    config.ring_frames = static_cast<uint32_t>(buffer);
    config.queue_frames = static_cast<uint32_t>(queue);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if ((err = snd_pcm_sw_params_current(handle, sw)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(handle, sw, queue)) < 0 ||
        // Wake when one more ring buffer fits in the queue.
        (err = snd_pcm_sw_params_set_avail_min(handle, sw, buffer - queue + ring_buffer_frames)) < 0 ||
        (err = snd_pcm_sw_params(handle, sw)) < 0) {
        return err;
    }
    return snd_pcm_prepare(handle);
}

void ignore_alsa_message(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

int pcm_open(Pcm& pcm, const char* device_name, int ring_buffers, uint32_t ring_buffer_frames) {
    pcm.failed_at = PcmStep::open;
    snd_pcm_t* handle = nullptr;
    int err = snd_pcm_open(&handle, device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) {
        return err;
    }
    err = configure(handle, ring_buffer_frames,
                    ring_buffer_frames * static_cast<snd_pcm_uframes_t>(ring_buffers), pcm.config);
    if (err < 0) {
        pcm.failed_at = PcmStep::configure;
        snd_pcm_close(handle);
        return err;
    }
    pcm.handle = handle;
    return 0;
}

int pcm_wait(Pcm& pcm, int timeout_ms) {
    return snd_pcm_wait(pcm.handle, timeout_ms);
}

long pcm_writable_frames(Pcm& pcm) {
    const snd_pcm_sframes_t avail = snd_pcm_avail(pcm.handle);
    if (avail < 0) {
        return static_cast<long>(avail);
    }
    const long unused =
        static_cast<long>(pcm.config.ring_frames) - static_cast<long>(pcm.config.queue_frames);
    return std::max(0L, static_cast<long>(avail) - unused);
}

int pcm_write(Pcm& pcm, const float* samples, uint32_t frames) {
    int stuck = 0;
    while (frames > 0) {
        const snd_pcm_sframes_t written = snd_pcm_writei(pcm.handle, samples, frames);
        if (written > 0) {
            samples += written * channel_count;
            frames -= static_cast<uint32_t>(written);
            stuck = 0;
            pcm.unfed_recoveries = 0;
            continue;
        }
        if (written == -EAGAIN || written == 0) {
            if (++stuck > stuck_write_retries) {
                return -EIO;
            }
            snd_pcm_wait(pcm.handle, stuck_write_wait_ms);
            continue;
        }
        const int err = pcm_recover(pcm, static_cast<int>(written));
        if (err < 0) {
            return err;
        }
    }
    return 0;
}

int pcm_recover(Pcm& pcm, int error) {
    if ((error != -EPIPE && error != -ESTRPIPE && error != -EINTR) ||
        (error == -EPIPE && pcm.unfed_recoveries >= gone_after_unfed_recoveries)) {
        return error;
    }
    const int err = snd_pcm_recover(pcm.handle, error, 1);
    if (err == 0 && error == -EPIPE) {
        ++pcm.underruns;
        ++pcm.unfed_recoveries;
    }
    return err;
}

bool pcm_drain(Pcm& pcm, int limit_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (Clock::now() < deadline) {
        // An error here (an underrun once all was played, a device gone)
        // means nothing more will play either.
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm.handle);
        if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= pcm.config.ring_frames) {
            return true;
        }
        const snd_pcm_state_t state = snd_pcm_state(pcm.handle);
        if (state == SND_PCM_STATE_PREPARED) {
            // Stopped before a full queue had started it: start what there is.
            if (snd_pcm_start(pcm.handle) < 0) {
                return true;
            }
        } else if (state != SND_PCM_STATE_RUNNING) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(drain_poll_ms));
    }
    return false;
}

void pcm_close(Pcm& pcm) {
    if (pcm.handle != nullptr) {
        snd_pcm_drop(pcm.handle);
        snd_pcm_close(pcm.handle);
        pcm.handle = nullptr;
    }
}

void pcm_abandon(Pcm& pcm) {
    pcm.handle = nullptr;
}

const char* pcm_error_text(int error) {
    return snd_strerror(error);
}

void silence_alsa_messages() {
    snd_lib_error_set_handler(ignore_alsa_message);
}

}  // namespace pluck
