#include "tools/sound_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/tuning.h"

namespace pluck {

namespace {

// Full scale of a 24-bit sample; +-1 maps to +-(2^23 - 1), so that the
// scale is the same both ways and 1.0 itself is not clipped.
constexpr double pcm24_full_scale = 8388607.0;
// libsndfile takes integer samples left-aligned in 32 bits and keeps the
// top 24 of them.
constexpr int pcm24_shift = 8;

bool ends_with_ignoring_case(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) {
        return false;
    }
    const std::string_view tail = s.substr(s.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char c = (tail[i] >= 'A' && tail[i] <= 'Z') ? static_cast<char>(tail[i] - 'A' + 'a') : tail[i];
        if (c != suffix[i]) {
            return false;
        }
    }
    return true;
}

// libsndfile's view of the sink: a file it writes and seeks in, never reads.
SoundFileWriter& writer_of(void* user_data) {
    return *static_cast<SoundFileWriter*>(user_data);
}

sf_count_t flac_length(void* user_data) {
    return static_cast<sf_count_t>(writer_of(user_data).length);
}

sf_count_t flac_seek(sf_count_t offset, int whence, void* user_data) {
    SoundFileWriter& w = writer_of(user_data);
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
    SoundFileWriter& w = writer_of(user_data);
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

// max_wav_frames as h:mm:ss.
std::string longest_wav_text() {
    const int64_t seconds = max_wav_frames / sample_rate_hz;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

bool start_flac(SoundFileWriter& writer) {
    SF_VIRTUAL_IO io{flac_length, flac_seek, flac_read, flac_write, flac_tell};
    SF_INFO info{};
    info.samplerate = sample_rate_hz;
    info.channels = channel_count;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    writer.flac = sf_open_virtual(&io, SFM_WRITE, &info, &writer);
    // The encoder starts (and writes the stream's header) with the first
    // frames; started now, a render of no frames is still a valid file.
    if (writer.flac == nullptr || sf_command(writer.flac, SFC_UPDATE_HEADER_NOW, nullptr, 0) != 0 ||
        sf_error(writer.flac) != SF_ERR_NO_ERROR) {
        writer.error = "cannot write " + writer.path + ": " + sf_strerror(writer.flac);
        return false;
    }
    return true;
}

}  // namespace

bool sound_file_format_for_path(std::string_view path, SoundFileFormat& format) {
    if (ends_with_ignoring_case(path, ".wav")) {
        format = SoundFileFormat::wav_float;
        return true;
    }
    if (ends_with_ignoring_case(path, ".flac")) {
        format = SoundFileFormat::flac_24;
        return true;
    }
    return false;
}

int64_t max_sound_file_frames(SoundFileFormat format) {
    return format == SoundFileFormat::wav_float ? max_wav_frames : INT64_MAX / frame_bytes;
}

int32_t sample_to_pcm24(float sample, int64_t& clipped) {
    double x = sample;
    if (!(x >= -1.0 && x <= 1.0)) {
        ++clipped;
        x = x > 1.0 ? 1.0 : (x < -1.0 ? -1.0 : 0.0);
    }
    // Exact in double (24-bit mantissa times a 23-bit scale); nearbyint
    // rounds ties to even in the default rounding mode.
    return static_cast<int32_t>(std::nearbyint(x * pcm24_full_scale));
}

bool start_sound_file(SoundFileWriter& writer, ByteSink sink, SoundFileFormat format,
                      const std::string& path) {
    abandon_sound_file(writer);
    writer = SoundFileWriter{};
    writer.format = format;
    writer.path = path;
    writer.sink = sink;
    return format == SoundFileFormat::wav_float ? start_wav(writer.wav, sink) : start_flac(writer);
}

bool write_sound_frames(SoundFileWriter& writer, const float* samples, int64_t frames) {
    if (writer.format == SoundFileFormat::wav_float) {
        if (frames > max_wav_frames - writer.frames_written) {
            writer.error = "cannot write " + writer.path + ": a WAV file holds at most " +
                           longest_wav_text() + " of sound; write a .flac file instead";
            return false;
        }
        if (!write_wav_frames(writer.wav, samples, frames)) {
            return false;
        }
    } else {
        writer.pcm.resize(static_cast<size_t>(frames * channel_count));
        for (size_t i = 0; i < writer.pcm.size(); ++i) {
            // Shifted as unsigned: the sign bits of a negative value move up too.
            const auto value = static_cast<uint32_t>(sample_to_pcm24(samples[i], writer.clipped_samples));
            writer.pcm[i] = static_cast<int32_t>(value << pcm24_shift);
        }
        if (sf_writef_int(writer.flac, writer.pcm.data(), frames) != frames) {
            writer.error = "cannot write " + writer.path + ": " + sf_strerror(writer.flac);
            return false;
        }
    }
    writer.frames_written += frames;
    return true;
}

bool finish_sound_file(SoundFileWriter& writer) {
    if (writer.format == SoundFileFormat::wav_float) {
        return finish_wav(writer.wav);
    }
    // sf_close() finishes the stream and writes its header again.
    const int close_error = sf_close(writer.flac);
    writer.flac = nullptr;
    if (close_error != 0) {
        writer.error = "cannot write " + writer.path + ": " + sf_error_number(close_error);
        return false;
    }
    return true;
}

void abandon_sound_file(SoundFileWriter& writer) {
    if (writer.flac != nullptr) {
        sf_close(writer.flac);
        writer.flac = nullptr;
    }
}

}  // namespace pluck
