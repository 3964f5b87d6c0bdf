// Linux: libsndfile's FLAC encoder, writing to the sink through its virtual
// I/O, as if to a file it writes and seeks in but never reads.
#include <sndfile.h>

#include <algorithm>
#include <cstdio>

#include "engine/tuning.h"
#include "sound_files/flac_file.h"
#include "sound_files/sound_file.h"

namespace pluck {

namespace {

// libsndfile takes integer samples left-aligned in 32 bits and keeps the
// top 24 of them.
constexpr int pcm24_shift = 8;

FlacWriter& writer_of(void* user_data) {
    return *static_cast<FlacWriter*>(user_data);
}

SNDFILE* encoder_of(const FlacWriter& flac) {
    return static_cast<SNDFILE*>(flac.encoder);
}

sf_count_t flac_length(void* user_data) {
    return static_cast<sf_count_t>(writer_of(user_data).length);
}

sf_count_t flac_seek(sf_count_t offset, int whence, void* user_data) {
    FlacWriter& w = writer_of(user_data);
    const auto base = static_cast<sf_count_t>(whence == SEEK_SET   ? 0
                                              : whence == SEEK_CUR ? w.position
                                                                   : w.length);
    w.position = static_cast<uint64_t>(std::max<sf_count_t>(base + offset, 0));
    return static_cast<sf_count_t>(w.position);
}

sf_count_t flac_read(void*, sf_count_t, void*) {
    return 0;
}

sf_count_t flac_write(const void* bytes, sf_count_t count, void* user_data) {
    FlacWriter& w = writer_of(user_data);
    if (!w.sink.write_at(w.sink.context, w.position, bytes, static_cast<size_t>(count))) {
        return 0;
    }
    w.position += static_cast<uint64_t>(count);
    w.length = std::max(w.length, w.position);
    return count;
}

sf_count_t flac_tell(void* user_data) {
    return static_cast<sf_count_t>(writer_of(user_data).position);
}

}  // namespace

const char* flac_unavailable_reason() {
    return nullptr;
}

bool start_flac(FlacWriter& flac, ByteSink sink) {
    abandon_flac(flac);
    flac = FlacWriter{};
    flac.sink = sink;
    SF_VIRTUAL_IO io{flac_length, flac_seek, flac_read, flac_write, flac_tell};
    SF_INFO info{};
    info.samplerate = sample_rate_hz;
    info.channels = channel_count;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    flac.encoder = sf_open_virtual(&io, SFM_WRITE, &info, &flac);
    // The encoder starts (and writes the stream's header) with the first
    // frames; started now, a render of no frames is still a valid file.
    if (flac.encoder == nullptr || sf_command(encoder_of(flac), SFC_UPDATE_HEADER_NOW, nullptr, 0) != 0 ||
        sf_error(encoder_of(flac)) != SF_ERR_NO_ERROR) {
        flac.error = sf_strerror(encoder_of(flac));
        return false;
    }
    return true;
}

bool write_flac_frames(FlacWriter& flac, const float* samples, int64_t frames, int64_t& clipped) {
    flac.pcm.resize(static_cast<size_t>(frames * channel_count));
    for (size_t i = 0; i < flac.pcm.size(); ++i) {
        // Shifted as unsigned: the sign bits of a negative value move up too.
        const auto value = static_cast<uint32_t>(sample_to_pcm24(samples[i], clipped));
        flac.pcm[i] = static_cast<int32_t>(value << pcm24_shift);
    }
    if (sf_writef_int(encoder_of(flac), flac.pcm.data(), frames) != frames) {
        flac.error = sf_strerror(encoder_of(flac));
        return false;
    }
    return true;
}

bool finish_flac(FlacWriter& flac) {
    // sf_close() finishes the stream and writes its header again.
    const int close_error = sf_close(encoder_of(flac));
    flac.encoder = nullptr;
    if (close_error != 0) {
        flac.error = sf_error_number(close_error);
        return false;
    }
    return true;
}

void abandon_flac(FlacWriter& flac) {
    if (flac.encoder != nullptr) {
        sf_close(encoder_of(flac));
        flac.encoder = nullptr;
    }
}

}  // namespace pluck
