// Every fixed number of the instrument's sound, in one place.
#pragma once

#include <cstdint>

namespace pluck {

// Output format: interleaved stereo float32.
constexpr int32_t sample_rate_hz = 44100;
constexpr int32_t channel_count = 2;
constexpr uint32_t frame_bytes = channel_count * sizeof(float);
// One device buffer (a ring of six of them is queued on the sound device).
constexpr int32_t buffer_frames = 512;
constexpr int32_t ring_buffer_count = 6;
// Frames the engine computes together, stage after stage (every string, then
// the filters, then each reverb channel), whatever size the caller's buffer.
constexpr int32_t render_block_frames = 512;

// Strings: eight voices, each loop long enough for the lowest note (0.5 Hz,
// two seconds of samples).
constexpr int32_t string_count = 8;
constexpr int32_t string_capacity_samples = 88200;
// Loop length of note n is period_numerator / trunc(2^(n/12)).
constexpr int32_t period_numerator = 88200;
// Multiplied into every sample a string averages, on every step.
constexpr double string_decay = 0.997;
// Noise words run from -32768 to 32767; this maps them to [-1, 1).
constexpr float noise_scale = 32768.0f;

// Reverb: four comb lines per channel; lines can hold far more than the
// longest delay in the table (9949 samples).
constexpr int32_t comb_line_count = 4;
constexpr int32_t delay_capacity_samples = 100000;
constexpr int32_t reverb_preset_count = 4;
// Delay lengths in samples (all primes), by preset and channel.
constexpr uint32_t comb_delay_samples[8][comb_line_count] = {
    {2063, 1847, 1523, 1277},  // preset 0, left
    {3089, 2927, 2801, 2111},  // preset 1, left
    {5479, 5077, 4987, 4057},  // preset 2, left
    {9929, 7411, 4951, 1063},  // preset 3, left
    {2053, 1867, 1531, 1259},  // preset 0, right
    {3109, 2939, 2803, 2113},  // preset 1, right
    {5477, 5059, 4993, 4051},  // preset 2, right
    {9949, 7393, 4957, 1097},  // preset 3, right
};
// Feedback of each comb line; negative, so echoes alternate in sign.
constexpr float comb_feedback[comb_line_count] = {-0.8733f, -0.8223f, -0.8513f, -0.8503f};
// The instrument always uses preset 0 with three averaged taps (n = 2).
constexpr int32_t reverb_preset = 0;
constexpr int32_t reverb_extra_taps = 2;
// Inside a reverb channel: share of the input mixed in, and output gain.
constexpr double reverb_dry_share = 0.5;
constexpr double reverb_output_gain = 0.3;

// Output chain: pole of each of the three one-pole filters, and the share of
// the filtered signal added to each reverb channel.
constexpr float filter_poles[3] = {0.3f, -0.5f, 0.7f};
constexpr double dry_gain = 0.3;

// Where the instrument starts: the key (a note number) and the noise seeds.
constexpr int32_t initial_base_note = 109;
constexpr int32_t initial_noise_seed[3] = {1237, 234567, 890123};

}  // namespace pluck

// The samples are exact only with IEEE arithmetic as written.
#if defined(__FAST_MATH__)
#error "pluck's engine must not be built with -ffast-math: it changes every sample"
#endif
