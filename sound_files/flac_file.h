// Rendered frames as a 24-bit FLAC file, written through a ByteSink, where
// the build has a FLAC encoder (libsndfile on Linux).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sound_files/byte_sink.h"

namespace pluck {

struct FlacWriter {
    ByteSink sink{};
    void* encoder = nullptr;   // the encoder's own state while a file is open
    uint64_t position = 0;     // where the encoder writes next
    uint64_t length = 0;       // bytes the sink holds
    std::vector<int32_t> pcm;  // a chunk's samples as the encoder takes them
    // Why the last call returned false, when the reason is the encoder's
    // rather than the sink's.
    std::string error;
};

// Why this build writes no FLAC files, as a line for the user; nullptr when
// it does.
const char* flac_unavailable_reason();

// Starts a stereo 44.1 kHz file in `sink`, whose bytes already make a valid,
// empty file. The writer must stay where it is until closed.
bool start_flac(FlacWriter& flac, ByteSink sink);

// Appends `frames` interleaved stereo frames, each sample clipped and
// rounded to 24 bits (sample_to_pcm24), counting in `clipped` the samples
// that were clipped.
bool write_flac_frames(FlacWriter& flac, const float* samples, int64_t frames, int64_t& clipped);

// Finishes the stream and writes its header again.
bool finish_flac(FlacWriter& flac);

// Lets go of an unfinished file. Safe to call at any point, and again.
void abandon_flac(FlacWriter& flac);

}  // namespace pluck
