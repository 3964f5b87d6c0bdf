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

// Writes the header again with the sizes of the frames written so far: the
// file is then a valid WAV file of them. At the end, and as often as wanted
// before it (a recording that must survive a crash).
bool write_wav_sizes(WavWriter& wav);

// The whole frames in a file of `file_bytes` bytes: after a write that failed
// part way, what its sizes may say (the bytes beyond, up to a frame, are
// to be cut off).
int64_t wav_frames_in(uint64_t file_bytes);

// The size of a file of `frames` frames.
uint64_t wav_file_bytes(int64_t frames);

}  // namespace pluck
