// The audio output thread on Windows: the wave mapper (winmm) or a device
// chosen by number or name, a ring of buffers (six of 512 frames unless
// asked otherwise) queued on it, and an event that the device signals each
// time it hands a buffer back.
#include <windows.h>
// After windows.h, which they need.
#include <mmreg.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

// How often the drain looks at the headers while the queue plays out.
constexpr DWORD drain_poll_ms = 50;

// Everything the thread shares with its starter. Each holds one reference;
// the last to let go frees it, so a thread still running after `stop_audio`
// gave up on it keeps what it uses.
struct Shared {
    std::atomic<int32_t> references{2};
    FillCallback fill = nullptr;
    std::string device_name;
    int32_t ring_buffers = ring_buffer_count;
    uint32_t block_frames = buffer_frames;
    bool raise_priority = false;
    std::atomic<ThreadPriority> priority{ThreadPriority::ordinary};
    std::atomic<bool> quit{false};
    std::atomic<AudioPhase> phase{AudioPhase::starting};
    std::atomic<bool> device_opened{false};
    GrantedFormat granted;  // written once, before `device_opened` is set
    std::atomic<uint64_t> buffers_filled{0};
};

void release(Shared* shared) {
    if (shared->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete shared;
    }
}

// The buffers and their headers: the thread's only heap memory, made zero
// (silence) before the first sound and freed after the last.
struct Ring {
    int32_t count = 0;
    uint32_t block_bytes = 0;
    std::unique_ptr<WAVEHDR[]> headers;
    std::unique_ptr<char[]> data;

    WAVEHDR* begin() const {
        return headers.get();
    }
    WAVEHDR* end() const {
        return headers.get() + count;
    }
};

bool make_ring(Ring& ring, int32_t count, uint32_t block_frames) {
    ring.count = count;
    ring.block_bytes = block_frames * frame_bytes;
    ring.headers.reset(new (std::nothrow) WAVEHDR[count]());
    ring.data.reset(new (std::nothrow) char[static_cast<size_t>(ring.block_bytes) * count]());
    return ring.headers && ring.data;
}

void report_no_sound(const char* reason, const std::string& device) {
    std::fprintf(stderr, "pluck: no sound: %s (device \"%s\")\n", reason, device.c_str());
}

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

bool all_done(const Ring& ring) {
    for (const WAVEHDR& header : ring) {
        if (!is_done(header)) {
            return false;
        }
    }
    return true;
}

// Refills, in ring order, every buffer that has been played, however many
// finished since the last look (one signal may stand for several). Returns
// false when the device refused a buffer: it has gone.
bool refill_finished(Shared& shared, HWAVEOUT device, Ring& ring, int& ring_index, uint32_t& frames_queued) {
    for (int n = 0; n < ring.count && is_done(ring.headers[ring_index]); ++n) {
        if (shared.quit.load(std::memory_order_acquire)) {
            return true;
        }
        WAVEHDR& header = ring.headers[ring_index];
        shared.fill(header.lpData, header.dwBufferLength);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        if (waveOutWrite(device, &header, sizeof header) != MMSYSERR_NOERROR) {
            return false;
        }
        frames_queued += shared.block_frames;
        ring_index = (ring_index + 1) % ring.count;
    }
    return true;
}

// Queues the ring's buffers of silence. Returns false if the device refused
// one; those queued before it still play.
bool queue_silence(HWAVEOUT device, Ring& ring) {
    for (int i = 0; i < ring.count; ++i) {
        WAVEHDR& header = ring.headers[i];
        header = WAVEHDR{};
        header.lpData = ring.data.get() + static_cast<size_t>(i) * ring.block_bytes;
        header.dwBufferLength = ring.block_bytes;
        if (waveOutPrepareHeader(device, &header, sizeof header) != MMSYSERR_NOERROR ||
            waveOutWrite(device, &header, sizeof header) != MMSYSERR_NOERROR) {
            return false;
        }
    }
    return true;
}

// Frames the device has played, as its position counter (32 bits, wrapping)
// tells; false if it does not tell. A device counting bytes wraps sooner,
// after 6.8 hours; the drain's time limit covers that.
bool played_frames(HWAVEOUT device, uint32_t& frames) {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (waveOutGetPosition(device, &time, sizeof time) != MMSYSERR_NOERROR) {
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

// Lets the queued audio play out, for at most `drain_limit_ms`: first every
// buffer handed back, then the device's position up to the last frame
// queued, since a buffer comes back once the device has taken its samples,
// which may be before they are heard (closing would cut them off). Returns
// false when the device stopped handing buffers back.
bool drain(HWAVEOUT device, HANDLE event, const Ring& ring, uint32_t frames_queued) {
    const ULONGLONG deadline = GetTickCount64() + drain_limit_ms;
    while (!all_done(ring)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        WaitForSingleObject(event, drain_poll_ms);
    }
    uint32_t played = 0;
    while (played_frames(device, played) && static_cast<int32_t>(frames_queued - played) > 0 &&
           GetTickCount64() < deadline) {
        Sleep(1);
    }
    return true;
}

void play(Shared& shared, HANDLE event) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = channel_count;
    format.nSamplesPerSec = sample_rate_hz;
    format.nAvgBytesPerSec = sample_rate_hz * frame_bytes;
    format.nBlockAlign = frame_bytes;
    format.wBitsPerSample = 32;
    format.cbSize = 0;

    UINT id = WAVE_MAPPER;
    if (!find_device(shared.device_name, id)) {
        report_no_sound("there is no such device; pluck --list-devices lists them", shared.device_name);
        return;
    }
    HWAVEOUT device = nullptr;
    const MMRESULT opened =
        waveOutOpen(&device, id, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
    if (opened != MMSYSERR_NOERROR) {
        char reason[MAXERRORLENGTH] = {};
        if (waveOutGetErrorTextA(opened, reason, sizeof reason) != MMSYSERR_NOERROR || reason[0] == '\0') {
            std::snprintf(reason, sizeof reason, "the wave output gave error %u", opened);
        }
        report_no_sound(reason, shared.device_name);
        return;
    }
    std::unique_ptr<Ring> ring(new (std::nothrow) Ring());
    if (!ring || !make_ring(*ring, shared.ring_buffers, shared.block_frames)) {
        waveOutClose(device);
        report_no_sound("out of memory", shared.device_name);
        return;
    }
    const uint32_t queue_frames = shared.block_frames * static_cast<uint32_t>(ring->count);
    shared.granted = GrantedFormat{sample_rate_hz, shared.block_frames, queue_frames, queue_frames};
    shared.device_opened.store(true, std::memory_order_release);
    shared.phase.store(AudioPhase::playing, std::memory_order_release);

    bool gone = !queue_silence(device, *ring);
    uint32_t frames_queued = queue_frames;  // wraps as the device's position does
    int ring_index = 0;
    while (!gone && !shared.quit.load(std::memory_order_acquire)) {
        // A failed wait counts as a signal: the headers say what is done.
        WaitForSingleObject(event, device_wait_ms);
        gone = !refill_finished(shared, device, *ring, ring_index, frames_queued);
    }
    shared.phase.store(AudioPhase::draining, std::memory_order_release);
    if (gone || !drain(device, event, *ring, frames_queued)) {
        // Hands every buffer still queued back, so that it can be unprepared.
        waveOutReset(device);
    }
    for (WAVEHDR& header : *ring) {
        if ((header.dwFlags & WHDR_PREPARED) != 0) {
            waveOutUnprepareHeader(device, &header, sizeof header);
        }
    }
    waveOutReset(device);
    waveOutClose(device);
}

// Names the thread "pluck audio" where the system can (Windows 10 1607 and
// later, and Wine, which passes the name on to Linux): debuggers and
// per-thread CPU figures then tell it apart.
void name_this_thread() {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found != nullptr) {
        reinterpret_cast<SetDescription>(reinterpret_cast<void*>(found))(GetCurrentThread(), L"pluck audio");
    }
}

DWORD WINAPI audio_thread_main(void* argument) {
    Shared* shared = static_cast<Shared*>(argument);
    name_this_thread();
    // Auto-reset, not signalled, unnamed: the device's wake-up call.
    // Every user may do this on Windows: no wake-up of this thread waits
    // behind ordinary threads.
    if (shared->raise_priority && SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        shared->priority.store(ThreadPriority::realtime, std::memory_order_relaxed);
    }
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        report_no_sound("no event for the device to signal", shared->device_name);
    } else {
        play(*shared, event);
        CloseHandle(event);
    }
    shared->phase.store(AudioPhase::ended, std::memory_order_release);
    release(shared);
    return 0;
}

}  // namespace

struct AudioOutput {
    HANDLE thread = nullptr;
    Shared* shared = nullptr;
};

AudioHandle start_audio(FillCallback fill, const AudioSettings& settings) {
    if (settings.ring_buffers < 1 || settings.ring_buffers > max_ring_buffers ||
        settings.buffer_frames < min_buffer_frames || settings.buffer_frames > buffer_frames ||
        settings.device_name == nullptr) {
        return nullptr;
    }
    AudioOutput* output = new (std::nothrow) AudioOutput;
    Shared* shared = new (std::nothrow) Shared;
    if (output == nullptr || shared == nullptr) {
        delete output;
        delete shared;
        return nullptr;
    }
    shared->fill = fill;
    shared->device_name = settings.device_name;
    shared->ring_buffers = settings.ring_buffers;
    shared->block_frames = static_cast<uint32_t>(settings.buffer_frames);
    shared->raise_priority = settings.raise_priority;
    output->shared = shared;
    output->thread = CreateThread(nullptr, 0, audio_thread_main, shared, 0, nullptr);
    if (output->thread == nullptr) {
        delete shared;
        delete output;
        return nullptr;
    }
    return output;
}

bool stop_audio(AudioHandle handle) {
    if (handle == nullptr) {
        return true;
    }
    // A flag rather than a thread message: it is seen even if set before
    // the thread first looks.
    handle->shared->quit.store(true, std::memory_order_release);
    const bool ended = WaitForSingleObject(handle->thread, stop_wait_ms) == WAIT_OBJECT_0;
    CloseHandle(handle->thread);
    release(handle->shared);
    delete handle;
    return ended;
}

AudioStatus audio_status(AudioHandle handle) {
    AudioStatus status;
    if (handle == nullptr) {
        return status;
    }
    const Shared& shared = *handle->shared;
    status.phase = shared.phase.load(std::memory_order_acquire);
    status.priority = shared.priority.load(std::memory_order_relaxed);
    status.quit_requested = shared.quit.load(std::memory_order_acquire);
    status.device_opened = shared.device_opened.load(std::memory_order_acquire);
    if (status.device_opened) {
        status.granted = shared.granted;
        status.devices_opened = 1;
    }
    status.buffers_filled = shared.buffers_filled.load(std::memory_order_relaxed);
    return status;
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
