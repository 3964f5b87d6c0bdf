// render_audio over 512-frame buffers in the three states an instrument
// spends its life in. Frames per second and "x realtime" (frames/s over
// 44,100) are reported as counters.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"
#include "engine/tuning.h"

namespace {

using namespace pluck;

// The key table's notes (relative to the key) and widths.
constexpr int32_t key_offsets[8] = {-24, -12, -5, 0, 3, 7, 10, 12};
constexpr int32_t key_widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
constexpr int buffers_per_500_ms = 43;  // 43 * 512 frames = 499 ms

void pluck_all() {
    for (int32_t k = 0; k < 8; ++k) {
        pluck_string(k, synth.base_note + key_offsets[k], key_widths[k]);
    }
}

void report(benchmark::State& state) {
    const double frames = static_cast<double>(state.iterations()) * buffer_frames;
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(frames / sample_rate_hz, benchmark::Counter::kIsRate);
}

// All eight strings sounding, re-plucked every 500 ms.
void BM_render_dense(benchmark::State& state) {
    reset_synth_state();
    std::vector<float> buffer(2 * buffer_frames);
    int n = 0;
    for (auto _ : state) {
        if (n++ % buffers_per_500_ms == 0) {
            pluck_all();
        }
        render_audio(buffer.data(), buffer_frames * frame_bytes);
        benchmark::DoNotOptimize(buffer.data());
    }
    report(state);
}

// Nothing ever plucked.
void BM_render_silent(benchmark::State& state) {
    reset_synth_state();
    std::vector<float> buffer(2 * buffer_frames);
    for (auto _ : state) {
        render_audio(buffer.data(), buffer_frames * frame_bytes);
        benchmark::DoNotOptimize(buffer.data());
    }
    report(state);
}

// All eight plucked once, then left for ten minutes of audio: by then every
// sample in the strings and comb lines is a subnormal float that never
// decays further.
void BM_render_decayed(benchmark::State& state) {
    reset_synth_state();
    std::vector<float> buffer(2 * buffer_frames);
    pluck_all();
    const int64_t warm_up_buffers = int64_t{600} * sample_rate_hz / buffer_frames;
    for (int64_t b = 0; b < warm_up_buffers; ++b) {
        render_audio(buffer.data(), buffer_frames * frame_bytes);
    }
    for (auto _ : state) {
        render_audio(buffer.data(), buffer_frames * frame_bytes);
        benchmark::DoNotOptimize(buffer.data());
    }
    report(state);
}

BENCHMARK(BM_render_dense)->MinTime(2.0);
BENCHMARK(BM_render_silent)->MinTime(2.0);
BENCHMARK(BM_render_decayed)->Iterations(20000);

}  // namespace

BENCHMARK_MAIN();
