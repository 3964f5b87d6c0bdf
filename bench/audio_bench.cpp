// Measures the audio output against a private sound server, started by the
// tests' harness, which records its null sink into PLUCK_RECORDING:
//     scripts/with-pulse build/release/bench/audio_bench [SECONDS]
//
// 1. Delay: how long after a buffer is rendered it comes out of the server.
//    Every 20th buffer carries a marker; the recording is read as it grows,
//    and each marker's arrival time is compared with its render time. The
//    figure includes the recorder's own fragment (5 ms), so it is an upper
//    bound on the server's delay.
// 2. Load: the audio thread's CPU time (CLOCK_THREAD_CPUTIME_ID, read on the
//    thread itself) while render_audio plays dense music, plucked from the
//    main thread, as a share of one core.
//
// Usage: audio_bench [seconds per part, default 10]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.h"
#include "engine/pluck_handover.h"
#include "engine/render.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int marker_interval_buffers = 20;
constexpr int max_markers = 4096;

// ---- Delay ----------------------------------------------------------------

std::atomic<int> marker_buffers{0};
Clock::time_point rendered_at[max_markers];  // written by the audio thread before `markers_rendered`
std::atomic<int> markers_rendered{0};

// Silence, except the first frame of every 20th buffer, which carries the
// marker's number (from 1) on the left.
void marker_fill(void* buffer, uint32_t bytes) {
    float* samples = static_cast<float*>(buffer);
    std::fill(samples, samples + bytes / 4, 0.0f);
    if (marker_buffers.fetch_add(1) % marker_interval_buffers == 0) {
        const int id = markers_rendered.load(std::memory_order_relaxed);
        if (id < max_markers) {
            samples[0] = static_cast<float>(id + 1) * 0x1p-12f;
            rendered_at[id] = Clock::now();
            markers_rendered.store(id + 1, std::memory_order_release);
        }
    }
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[i];
}

// The recorder's fragment, as the harness asks for it.
constexpr int record_latency_ms = 5;

bool measure_delay(const char* recording, int seconds) {
    const int fd = open(recording, O_RDONLY);
    lseek(fd, 0, SEEK_END);
    pluck::AudioHandle handle = pluck::start_audio(marker_fill);
    std::vector<double> delays_ms;
    std::vector<char> pending;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        char chunk[65536];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        const auto now = Clock::now();
        if (got <= 0) {
            std::this_thread::sleep_for(500us);
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + got);
        const size_t whole = pending.size() / 8 * 8;
        for (size_t i = 0; i < whole; i += 8) {
            float left = 0.0f;
            std::memcpy(&left, pending.data() + i, sizeof left);
            if (left != 0.0f) {
                const int id = static_cast<int>(left * 0x1p12f) - 1;
                if (id >= 0 && id < markers_rendered.load(std::memory_order_acquire)) {
                    delays_ms.push_back(
                        std::chrono::duration<double, std::milli>(now - rendered_at[id]).count());
                }
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(whole));
    }
    const pluck::AudioStatus status = pluck::audio_status(handle);
    pluck::stop_audio(handle);
    close(fd);
    if (delays_ms.empty()) {
        std::fprintf(stderr, "audio_bench: no marker came back\n");
        return false;
    }
    std::printf("device granted: buffers of %u frames, a ring of %u frames, queue %u frames (%.1f ms)\n",
                status.granted.buffer_frames, status.granted.ring_frames, status.granted.queue_frames,
                status.granted.queue_frames * 1000.0 / 44100.0);
    std::printf(
        "render -> server output (%zu markers, incl. <= %d ms recorder fragment): "
        "min %.1f ms, median %.1f ms, p95 %.1f ms, max %.1f ms\n",
        delays_ms.size(), record_latency_ms, percentile(delays_ms, 0.0), percentile(delays_ms, 0.5),
        percentile(delays_ms, 0.95), percentile(delays_ms, 1.0));
    return true;
}

// ---- Load -----------------------------------------------------------------

std::atomic<int64_t> thread_cpu_ns{0};  // the audio thread's CPU time after its latest buffer
std::atomic<int64_t> render_cpu_ns{0};  // of which inside render_audio
std::atomic<int64_t> first_thread_cpu_ns{-1};
std::atomic<int> load_buffers{0};

double process_cpu_s() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int64_t thread_cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void measured_render(void* buffer, uint32_t bytes) {
    const int64_t before = thread_cpu_now();
    if (first_thread_cpu_ns.load(std::memory_order_relaxed) < 0) {
        first_thread_cpu_ns.store(before, std::memory_order_relaxed);
    }
    pluck::render_audio(buffer, bytes);
    const int64_t after = thread_cpu_now();
    render_cpu_ns.fetch_add(after - before, std::memory_order_relaxed);
    thread_cpu_ns.store(after, std::memory_order_relaxed);
    load_buffers.fetch_add(1, std::memory_order_relaxed);
}

bool measure_load(int seconds) {
    pluck::AudioHandle handle = pluck::start_audio(measured_render);
    // Dense music: a pluck every 15 ms, round the eight strings, over two
    // octaves of the instrument's key, so every string is always sounding.
    const int32_t notes[8] = {85, 97, 104, 109, 112, 116, 119, 121};
    const int32_t widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
    while (load_buffers.load() < 6) {
        std::this_thread::sleep_for(1ms);
    }
    const int64_t cpu_start = thread_cpu_ns.load();
    const int64_t render_start = render_cpu_ns.load();
    const int buffers_start = load_buffers.load();
    const auto wall_start = Clock::now();
    const double process_start = process_cpu_s();
    int plucks = 0;
    while (Clock::now() - wall_start < std::chrono::seconds(seconds)) {
        const int k = plucks % 8;
        pluck::pluck_string(k, notes[k] + (plucks / 8 % 3) * 4, widths[k]);
        ++plucks;
        std::this_thread::sleep_for(15ms);
    }
    const int64_t cpu_end = thread_cpu_ns.load();
    const int64_t render_end = render_cpu_ns.load();
    const int buffers_end = load_buffers.load();
    const double process_used = process_cpu_s() - process_start;
    const double wall_s = std::chrono::duration<double>(Clock::now() - wall_start).count();
    pluck::stop_audio(handle);
    // The interval between the two readings is that of the buffers played.
    const double played_s = (buffers_end - buffers_start) * 512.0 / 44100.0;
    const double thread_share = (cpu_end - cpu_start) / 1e9 / played_s * 100.0;
    const double render_share = (render_end - render_start) / 1e9 / played_s * 100.0;
    std::printf(
        "audio thread CPU over %.1f s of dense music (%d plucks, %d buffers): %.2f %% of one core "
        "(render_audio %.2f %%, device and waiting %.2f %%); per buffer %.1f us of 11610 us\n",
        played_s, plucks, buffers_end - buffers_start, thread_share, render_share,
        thread_share - render_share, (cpu_end - cpu_start) / 1e3 / (buffers_end - buffers_start));
    std::printf(
        "whole process meanwhile (audio thread, the sound library's own thread, plucking loop): "
        "%.2f %% of one core\n",
        process_used / wall_s * 100.0);
    return buffers_end > buffers_start;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const char* recording = std::getenv("PLUCK_RECORDING");
    if (recording == nullptr || std::getenv("PULSE_SERVER") == nullptr) {
        std::fprintf(stderr, "audio_bench: run it with a server: scripts/with-pulse %s\n", argv[0]);
        return 1;
    }
    const bool ok = measure_delay(recording, seconds) && measure_load(seconds);
    return ok ? 0 : 1;
}
