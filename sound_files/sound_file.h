// Rendered frames encoded as a WAV or FLAC file, written through a ByteSink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sound_files/flac_file.h"
#include "sound_files/wav_file.h"

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

// Why this build cannot write files of `format`, as a line for the user;
// nullptr when it can.
const char* sound_file_format_unavailable(SoundFileFormat format);

// What to say to a user whose render is too long for a WAV file: the
// format to use instead, where the build has one ("" where not).
const char* longer_render_advice();

// 24-bit value of a sample: clipped to [-1, 1], scaled by 2^23 - 1 and
// rounded to nearest, ties to even. Counts the sample in `clipped` when it
// was outside [-1, 1] (or not a number, which gives 0).
int32_t sample_to_pcm24(float sample, int64_t& clipped);

struct SoundFileWriter {
    SoundFileFormat format = SoundFileFormat::wav_float;
    std::string path;  // for messages
    WavWriter wav;
    FlacWriter flac;
    int64_t frames_written = 0;
    // Samples (not frames) clipped so far; FLAC only.
    int64_t clipped_samples = 0;
    // What went wrong, when a call returns false for a reason of its own
    // rather than the sink's.
    std::string error;
};

// Starts a stereo 44.1 kHz file of `format` in `sink`, whose bytes already
// make a valid, empty file. The writer must stay where it is until closed.
bool start_sound_file(SoundFileWriter& writer, ByteSink sink, SoundFileFormat format,
                      const std::string& path);

// Appends `frames` interleaved stereo frames.
bool write_sound_frames(SoundFileWriter& writer, const float* samples, int64_t frames);

// Completes the file's headers.
bool finish_sound_file(SoundFileWriter& writer);

// Lets go of an unfinished file. Safe to call at any point, and again.
void abandon_sound_file(SoundFileWriter& writer);

}  // namespace pluck
