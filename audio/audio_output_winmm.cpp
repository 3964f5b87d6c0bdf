// The audio output thread on Windows: the wave mapper (winmm), six buffers
// queued on it, and an event that the device signals each time it hands a
// buffer back.
#include <windows.h>
// After windows.h, which they need.
#include <mmreg.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "audio/audio_output.h"
#include "engine/tuning.h"

namespace pluck {
namespace {

constexpr uint32_t block_bytes = buffer_frames * frame_bytes;
// How often the drain looks at the headers while the queue plays out.
constexpr DWORD drain_poll_ms = 50;

// Everything the thread shares with its starter. Each holds one reference;
// the last to let go frees it, so a thread still running after `stop_audio`
// gave up on it keeps what it uses.
struct Shared {
    std::atomic<int32_t> references{2};
    FillCallback fill = nullptr;
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

// The six buffers and their headers: the thread's only heap memory, made
// zero (silence) before the first sound and freed after the last.
struct Ring {
    WAVEHDR headers[ring_buffer_count];
    alignas(16) char data[ring_buffer_count][block_bytes];
};

void report_no_sound(const char* reason) {
    std::fprintf(stderr, "pluck: no sound: %s\n", reason);
}

// The device sets WHDR_DONE from a thread of its own; read the flags afresh
// every time.
bool is_done(const WAVEHDR& header) {
    return (*static_cast<const volatile DWORD*>(&header.dwFlags) & WHDR_DONE) != 0;
}

bool all_done(const Ring& ring) {
    for (const WAVEHDR& header : ring.headers) {
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
    for (int n = 0; n < ring_buffer_count && is_done(ring.headers[ring_index]); ++n) {
        if (shared.quit.load(std::memory_order_acquire)) {
            return true;
        }
        WAVEHDR& header = ring.headers[ring_index];
        shared.fill(header.lpData, header.dwBufferLength);
        shared.buffers_filled.fetch_add(1, std::memory_order_relaxed);
        if (waveOutWrite(device, &header, sizeof header) != MMSYSERR_NOERROR) {
            return false;
        }
        frames_queued += buffer_frames;
        ring_index = (ring_index + 1) % ring_buffer_count;
    }
    return true;
}

// Queues the six buffers of silence. Returns false if the device refused
// one; those queued before it still play.
bool queue_silence(HWAVEOUT device, Ring& ring) {
    for (int i = 0; i < ring_buffer_count; ++i) {
        WAVEHDR& header = ring.headers[i];
        header = WAVEHDR{};
        header.lpData = ring.data[i];
        header.dwBufferLength = block_bytes;
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

    HWAVEOUT device = nullptr;
    const MMRESULT opened =
        waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT);
    if (opened != MMSYSERR_NOERROR) {
        char reason[MAXERRORLENGTH] = {};
        if (waveOutGetErrorTextA(opened, reason, sizeof reason) != MMSYSERR_NOERROR || reason[0] == '\0') {
            std::snprintf(reason, sizeof reason, "the wave mapper gave error %u", opened);
        }
        report_no_sound(reason);
        return;
    }
    std::unique_ptr<Ring> ring(new (std::nothrow) Ring());
    if (!ring) {
        waveOutClose(device);
        report_no_sound("out of memory");
        return;
    }
    constexpr uint32_t queue_frames = buffer_frames * ring_buffer_count;
    shared.granted = GrantedFormat{sample_rate_hz, buffer_frames, queue_frames, queue_frames};
    shared.device_opened.store(true, std::memory_order_release);
    shared.phase.store(AudioPhase::playing, std::memory_order_release);

    bool gone = !queue_silence(device, *ring);
    uint32_t frames_queued = buffer_frames * ring_buffer_count;  // wraps as the device's position does
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
    for (WAVEHDR& header : ring->headers) {
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
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
        report_no_sound("no event for the device to signal");
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

// The wave mapper and six buffers: the settings' device name and ring length
// are not yet chosen on Windows.
AudioHandle start_audio(FillCallback fill, const AudioSettings&) {
    AudioOutput* output = new (std::nothrow) AudioOutput;
    Shared* shared = new (std::nothrow) Shared;
    if (output == nullptr || shared == nullptr) {
        delete output;
        delete shared;
        return nullptr;
    }
    shared->fill = fill;
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
    status.quit_requested = shared.quit.load(std::memory_order_acquire);
    status.device_opened = shared.device_opened.load(std::memory_order_acquire);
    if (status.device_opened) {
        status.granted = shared.granted;
        status.devices_opened = 1;
    }
    status.buffers_filled = shared.buffers_filled.load(std::memory_order_relaxed);
    return status;
}

}  // namespace pluck
