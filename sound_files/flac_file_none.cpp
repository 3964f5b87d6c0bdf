// Windows: no FLAC encoder. The Linux build's is libsndfile's, and there is
// no Windows build of libsndfile to link statically here; WAV holds the same
// samples exactly.
#include "sound_files/flac_file.h"

namespace pluck {

namespace {

constexpr const char* no_encoder =
    "this Windows build writes WAV files only (its FLAC encoder, libsndfile, is in the Linux build); "
    "write a .wav file instead";

}  // namespace

const char* flac_unavailable_reason() {
    return no_encoder;
}

bool start_flac(FlacWriter& flac, ByteSink sink) {
    flac = FlacWriter{};
    flac.sink = sink;
    flac.error = no_encoder;
    return false;
}

bool write_flac_frames(FlacWriter& flac, const float*, int64_t, int64_t&) {
    flac.error = no_encoder;
    return false;
}

bool finish_flac(FlacWriter& flac) {
    flac.error = no_encoder;
    return false;
}

void abandon_flac(FlacWriter&) {}

}  // namespace pluck
