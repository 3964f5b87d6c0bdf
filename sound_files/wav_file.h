// The instrument's own sound as a WAV file: 32-bit float, stereo, 44.1 kHz,
// every sample exactly as rendered. The header is the canonical one (a
// WAVEFORMATEX fmt chunk with its cbSize, a fact chunk, then the data) and
// holds nothing but sizes, so two files of the same samples are the same
// bytes. Written through a ByteSink, so that any file or stream that can
// write bytes at an offset can hold one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sound_files/byte_sink.h"

namespace pluck {

constexpr size_t wav_header_bytes = 58;

// Most frames a WAV file can hold: its sizes are 32-bit, counted from byte 8.
constexpr int64_t max_wav_frames = (INT64_C(0xFFFFFFFF) - (wav_header_bytes - 8)) / 8;

// The header of a file holding `frames` frames (0 to max_wav_frames).
std::array<uint8_t, wav_header_bytes> wav_header(int64_t frames);

struct WavWriter {
    ByteSink sink{};
    int64_t frames = 0;  // written so far
};

// Writes the header of an empty file, which is already a valid WAV file.
bool start_wav(WavWriter& wav, ByteSink sink);

// Appends `frames` interleaved stereo frames. False if the sink failed or the
// file would hold more than max_wav_frames (then nothing is written).
bool write_wav_frames(WavWriter& wav, const float* samples, int64_t frames);

// Writes the header again with the final sizes.
bool finish_wav(WavWriter& wav);

}  // namespace pluck
