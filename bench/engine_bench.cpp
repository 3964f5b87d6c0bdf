// render_audio over 512-frame buffers in the three states an instrument
// spends its life in. Frames per second and "x realtime" (frames/s over
// 44,100) are reported as counters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "engine/pluck_handover.h"
#include "engine/render.h"
#include "engine/synth_state.h"
#include "engine/tuning.h"
#include "engine/vector_isa.h"

namespace {

using namespace pluck;

// The key table's notes (relative to the key) and widths.
constexpr int32_t key_offsets[8] = {-24, -12, -5, 0, 3, 7, 10, 12};
constexpr int32_t key_widths[8] = {12, 9, 7, 5, 4, 3, 2, 2};
constexpr int buffers_per_500_ms = 43;  // 43 * 512 frames = 499 ms

void pluck_all() {
    for (int32_t k = 0; k < 8; ++k) {
        pluck_string(k, initial_base_note + key_offsets[k], key_widths[k]);
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

// The engine's state after all eight strings were plucked once and left to
// fade for `seconds` of audio. Rendered once per length, then copied back
// before each run, so that every run starts from the same state.
struct FadedState {
    std::vector<PluckedString> strings;
    std::vector<CombReverb> reverb;
    OutputFilters filters;
};

FadedState fade_for(int64_t seconds) {
    reset_synth_state();
    std::vector<float> buffer(2 * buffer_frames);
    pluck_all();
    const int64_t buffers = seconds * sample_rate_hz / buffer_frames;
    for (int64_t b = 0; b < buffers; ++b) {
        render_audio(buffer.data(), buffer_frames * frame_bytes);
    }
    return FadedState{{std::begin(synth.strings), std::end(synth.strings)},
                      {std::begin(synth.reverb), std::end(synth.reverb)},
                      synth.filters};
}

void restore(const FadedState& faded) {
    reset_synth_state();
    std::copy(faded.strings.begin(), faded.strings.end(), std::begin(synth.strings));
    std::copy(faded.reverb.begin(), faded.reverb.end(), std::begin(synth.reverb));
    synth.filters = faded.filters;
}

// Renders from `faded`, going back to it (untimed) every `restore_every`
// buffers if that is not 0, so that a passing state is measured as itself.
void render_from(const FadedState& faded, int restore_every, benchmark::State& state) {
    restore(faded);
    std::vector<float> buffer(2 * buffer_frames);
    int n = 0;
    for (auto _ : state) {
        if (restore_every != 0 && ++n % restore_every == 0) {
            state.PauseTiming();
            restore(faded);
            state.ResumeTiming();
        }
        render_audio(buffer.data(), buffer_frames * frame_bytes);
        benchmark::DoNotOptimize(buffer.data());
    }
    report(state);
}

// Ten minutes after the pluck: every sample in the strings and comb lines is
// a subnormal float that never decays further, the state an instrument left
// open spends most of its life in.
void BM_render_decayed(benchmark::State& state) {
    static const FadedState decayed = fade_for(600);
    render_from(decayed, 0, state);
}

// Six minutes after the pluck: the sound crossing the edge of the subnormal
// range, ordinary and subnormal values side by side (the slowest stretch of
// a fade, lasting about a minute and a half). Measured over its next five
// seconds, again and again.
void BM_render_fading(benchmark::State& state) {
    static const FadedState fading = fade_for(360);
    render_from(fading, 5 * sample_rate_hz / buffer_frames, state);
}

BENCHMARK(BM_render_dense)->MinTime(2.0);
BENCHMARK(BM_render_silent)->MinTime(2.0);
BENCHMARK(BM_render_decayed)->MinTime(2.0);
BENCHMARK(BM_render_fading)->MinTime(2.0);

}  // namespace

// --isa=avx2 or --isa=baseline measures the engine as a processor without
// AVX-512 (or without AVX2) runs it; the samples are the same.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--isa=avx2") {
            pluck::use_vector_isa(pluck::VectorIsa::avx2);
        } else if (arg == "--isa=baseline") {
            pluck::use_vector_isa(pluck::VectorIsa::baseline);
        } else {
            std::fprintf(stderr, "engine_bench: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
