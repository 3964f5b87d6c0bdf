// The audio output's device on Windows: winmm's wave output, the wave
// mapper or a device chosen by number or name, with one header for each of
// the ring's buffers and an event that the device signals each time it
// hands a buffer back.
#include <windows.h>
// After windows.h, which they need.
#include <mmreg.h>
#include <mmsystem.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/sound_device.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

// How often the drain looks at the headers while the queue plays out.
constexpr DWORD drain_poll_ms = 50;

// Where opening a device failed, for the "no sound" line.
enum OpenStep : int32_t { no_event, no_such_device, wave_open, no_memory };

std::string utf8_of(const wchar_t* text) {
    char out[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// The device `name` stands for: "default" the wave mapper, a number the
// device of that number, else the device whose name (as --list-devices
// shows it) it is. False if there is none.
bool find_device(const std::string& name, UINT& id) {
    if (name == "default") {
        id = WAVE_MAPPER;
        return true;
    }
    const UINT count = waveOutGetNumDevs();
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos) {
        if (name.size() > 9) {
            return false;
        }
        id = 0;
        for (const char digit : name) {
            id = id * 10 + static_cast<UINT>(digit - '0');
        }
        return id < count;
    }
    for (UINT i = 0; i < count; ++i) {
        WAVEOUTCAPSW caps{};
        if (waveOutGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR && utf8_of(caps.szPname) == name) {
            id = i;
            return true;
        }
    }
    return false;
}

// The device sets WHDR_DONE from a thread of its own; read the flags afresh
// every time.
bool is_done(const WAVEHDR& header) {
    return (*static_cast<const volatile DWORD*>(&header.dwFlags) & WHDR_DONE) != 0;
}

}  // namespace

struct SoundDevice {
    HWAVEOUT wave = nullptr;
    HANDLE event = nullptr;  // auto-reset: the device's wake-up call
    RingLayout ring;
    // One for each of the ring's buffers, prepared as it is first written.
    std::unique_ptr<WAVEHDR[]> headers;
    int next = 0;                // the header written next
    uint32_t frames_queued = 0;  // wraps as the device's position does

    WAVEHDR* begin() const {
        return headers.get();
    }
    WAVEHDR* end() const {
        return headers.get() + ring.buffers;
    }
};

namespace {

// Frames the device has played, as its position counter (32 bits, wrapping)
// tells; false if it does not tell. A device counting bytes wraps sooner,
// after 6.8 hours; the drain's time limit covers that.
bool played_frames(HWAVEOUT wave, uint32_t& frames) {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (waveOutGetPosition(wave, &time, sizeof time) != MMSYSERR_NOERROR) {
        return false;
    }
    if (time.wType == TIME_SAMPLES) {
        frames = time.u.sample;
    } else if (time.wType == TIME_BYTES) {
        frames = time.u.cb / frame_bytes;
    } else {
        return false;
    }
    return true;
}

bool all_done(const SoundDevice& device) {
    for (const WAVEHDR& header : device) {
        if (!is_done(header)) {
            return false;
        }
    }
    return true;
}

}  // namespace

// The first call into winmm loads the wave driver, which can take a good
// part of a second (under Wine, on a busy machine): done here, before the
// threads start, a device that is not there is said at once.
void prepare_sound_devices() {
    waveOutGetNumDevs();
}

SoundDevice* open_device(const char* name, const RingLayout& ring, DeviceError& error) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = channel_count;
    format.nSamplesPerSec = sample_rate_hz;
    format.nAvgBytesPerSec = sample_rate_hz * frame_bytes;
    format.nBlockAlign = frame_bytes;
    format.wBitsPerSample = 32;
    format.cbSize = 0;

    // Not signalled, unnamed.
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        error = DeviceError{0, no_event};
        return nullptr;
    }
    UINT id = WAVE_MAPPER;
    if (!find_device(name, id)) {
        CloseHandle(event);
        error = DeviceError{0, no_such_device};
        return nullptr;
    }
    HWAVEOUT wave = nullptr;
    const MMRESULT opened =
        waveOutOpen(&wave, id, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
    if (opened != MMSYSERR_NOERROR) {
        CloseHandle(event);
        error = DeviceError{static_cast<int>(opened), wave_open};
        return nullptr;
    }
    std::unique_ptr<SoundDevice> device(new (std::nothrow) SoundDevice());
    if (device) {
        device->headers.reset(new (std::nothrow) WAVEHDR[ring.buffers]());
    }
    if (!device || !device->headers) {
        waveOutClose(wave);
        CloseHandle(event);
        error = DeviceError{0, no_memory};
        return nullptr;
    }
    device->wave = wave;
    device->event = event;
    device->ring = ring;
    return device.release();
}

GrantedFormat granted_format(const SoundDevice& device) {
    const auto frames = static_cast<uint32_t>(device.ring.frames());
    return GrantedFormat{sample_rate_hz, static_cast<uint32_t>(device.ring.buffer_frames), frames, frames};
}

// A failed wait counts as a signal: the headers say what is done.
int wait_for_buffer(SoundDevice& device, int timeout_ms) {
    WaitForSingleObject(device.event, static_cast<DWORD>(timeout_ms));
    return 1;
}

// Those handed back, in ring order from the next to be written (one signal
// may stand for several).
long free_buffers(SoundDevice& device) {
    long done = 0;
    while (done < device.ring.buffers &&
           is_done(device.headers[(device.next + done) % device.ring.buffers])) {
        ++done;
    }
    return done;
}

int write_buffer(SoundDevice& device, float* samples) {
    WAVEHDR& header = device.headers[device.next];
    if ((header.dwFlags & WHDR_PREPARED) == 0) {
        header.lpData = reinterpret_cast<char*>(samples);
        header.dwBufferLength = static_cast<DWORD>(device.ring.buffer_frames) * frame_bytes;
        const MMRESULT prepared = waveOutPrepareHeader(device.wave, &header, sizeof header);
        if (prepared != MMSYSERR_NOERROR) {
            return -static_cast<int>(prepared);
        }
    }
    const MMRESULT written = waveOutWrite(device.wave, &header, sizeof header);
    if (written != MMSYSERR_NOERROR) {
        return -static_cast<int>(written);
    }
    device.frames_queued += static_cast<uint32_t>(device.ring.buffer_frames);
    device.next = (device.next + 1) % device.ring.buffers;
    return 0;
}

// A device that refuses a buffer has gone: there is nothing to restart.
int recover_device(SoundDevice&, int error) {
    return error;
}

uint32_t underruns_recovered(const SoundDevice&) {
    return 0;
}

// First every buffer handed back, then the device's position up to the last
// frame queued, since a buffer comes back once the device has taken its
// samples, which may be before they are heard (closing would cut them off).
bool drain_device(SoundDevice& device, int limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit_ms);
    while (!all_done(device)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        WaitForSingleObject(device.event, drain_poll_ms);
    }
    uint32_t played = 0;
    while (played_frames(device.wave, played) && static_cast<int32_t>(device.frames_queued - played) > 0 &&
           GetTickCount64() < deadline) {
        Sleep(1);
    }
    return true;
}

// Hands every buffer still queued back, so that it can be unprepared.
void cut_off_device(SoundDevice& device) {
    waveOutReset(device.wave);
}

void close_device(SoundDevice* device) {
    if (device == nullptr) {
        return;
    }
    for (WAVEHDR& header : *device) {
        if ((header.dwFlags & WHDR_PREPARED) != 0) {
            waveOutUnprepareHeader(device->wave, &header, sizeof header);
        }
    }
    waveOutReset(device->wave);
    waveOutClose(device->wave);
    CloseHandle(device->event);
    delete device;
}

// Only a device that cannot be opened is said: one that fails while playing
// ends the output without a word.
void describe_no_sound(char* out, size_t size, NoSound what, const DeviceError& error,
                       const char* device_name) {
    if (what != NoSound::cannot_open) {
        out[0] = '\0';
        return;
    }
    char reason[MAXERRORLENGTH] = "out of memory";
    if (error.step == no_event) {
        std::snprintf(reason, sizeof reason, "no event for the device to signal");
    } else if (error.step == no_such_device) {
        std::snprintf(reason, sizeof reason, "there is no such device; pluck --list-devices lists them");
    } else if (error.step == wave_open) {
        const auto code = static_cast<MMRESULT>(error.code);
        if (waveOutGetErrorTextA(code, reason, sizeof reason) != MMSYSERR_NOERROR || reason[0] == '\0') {
            std::snprintf(reason, sizeof reason, "the wave output gave error %u", code);
        }
    }
    write_no_sound_line(out, size, "%s (device \"%s\")", reason, device_name);
}

std::vector<OutputDevice> output_devices() {
    std::vector<OutputDevice> devices{{"default", "the wave mapper: the system's default output"}};
    const UINT count = waveOutGetNumDevs();
    for (UINT i = 0; i < count; ++i) {
        WAVEOUTCAPSW caps{};
        if (waveOutGetDevCapsW(i, &caps, sizeof caps) == MMSYSERR_NOERROR) {
            devices.push_back({std::to_string(i), utf8_of(caps.szPname)});
        }
    }
    return devices;
}

}  // namespace pluck
