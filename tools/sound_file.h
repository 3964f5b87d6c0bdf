// Rendered frames written to a WAV or FLAC file, which appears under its
// name only once it is complete.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sndfile.h>

namespace pluck {

enum class SoundFileFormat {
    // 32-bit float, the samples exactly as rendered, beyond +-1 included.
    wav_float,
    // 24-bit integer, each sample clipped to [-1, 1] first.
    flac_24,
};

// The format named by the extension of `path`: `.wav` or `.flac`, in any
// letter case. False for any other.
bool sound_file_format_for_path(std::string_view path, SoundFileFormat& format);

// Most frames a file of `format` can hold: a WAV file's sizes are 32-bit.
int64_t max_sound_file_frames(SoundFileFormat format);

// 24-bit value of a sample: clipped to [-1, 1], scaled by 2^23 - 1 and
// rounded to nearest, ties to even. Counts the sample in `clipped` when it
// was outside [-1, 1] (or not a number, which gives 0).
int32_t sample_to_pcm24(float sample, int64_t& clipped);

struct SoundFileWriter {
    SoundFileFormat format = SoundFileFormat::wav_float;
    // The file asked for, and the temporary file beside it that holds the
    // frames until finish_sound_file() renames it into place.
    std::string path;
    std::string temp_path;
    int fd = -1;
    SNDFILE* file = nullptr;
    int64_t frames_written = 0;
    // Samples (not frames) clipped so far; FLAC only.
    int64_t clipped_samples = 0;
    std::vector<int32_t> pcm;
    // What went wrong, when a call returns false.
    std::string error;
};

// Creates the temporary file for `path` and opens it as a stereo 44.1 kHz
// file of `format`. On failure nothing is left on disk.
bool open_sound_file(SoundFileWriter& writer, const std::string& path, SoundFileFormat format);

// Appends `frames` interleaved stereo frames.
bool write_sound_frames(SoundFileWriter& writer, const float* samples, int64_t frames);

// Completes the file, flushes it to disk and renames it to `path`,
// replacing any file there. On failure the temporary file is removed.
bool finish_sound_file(SoundFileWriter& writer);

// Closes and removes the temporary file, leaving `path` as it was. Safe to
// call at any point, and again.
void discard_sound_file(SoundFileWriter& writer);

}  // namespace pluck
