#include "sound_files/sound_file.h"

#include <cmath>
#include <cstdio>

#include "engine/tuning.h"

namespace pluck {

namespace {

// Full scale of a 24-bit sample; +-1 maps to +-(2^23 - 1), so that the
// scale is the same both ways and 1.0 itself is not clipped.
constexpr double pcm24_full_scale = 8388607.0;

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

// max_wav_frames as h:mm:ss.
std::string longest_wav_text() {
    const int64_t seconds = max_wav_frames / sample_rate_hz;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
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

const char* sound_file_format_unavailable(SoundFileFormat format) {
    return format == SoundFileFormat::flac_24 ? flac_unavailable_reason() : nullptr;
}

const char* longer_render_advice() {
    return flac_unavailable_reason() == nullptr ? "; write a .flac file instead" : "";
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
    if (format == SoundFileFormat::wav_float) {
        return start_wav(writer.wav, sink);
    }
    if (!start_flac(writer.flac, sink)) {
        writer.error = "cannot write " + path + ": " + writer.flac.error;
        return false;
    }
    return true;
}

bool write_sound_frames(SoundFileWriter& writer, const float* samples, int64_t frames) {
    if (writer.format == SoundFileFormat::wav_float) {
        if (frames > max_wav_frames - writer.frames_written) {
            writer.error = "cannot write " + writer.path + ": a WAV file holds at most " +
                           longest_wav_text() + " of sound" + longer_render_advice();
            return false;
        }
        if (!write_wav_frames(writer.wav, samples, frames)) {
            return false;
        }
    } else if (!write_flac_frames(writer.flac, samples, frames, writer.clipped_samples)) {
        writer.error = "cannot write " + writer.path + ": " + writer.flac.error;
        return false;
    }
    writer.frames_written += frames;
    return true;
}

bool finish_sound_file(SoundFileWriter& writer) {
    if (writer.format == SoundFileFormat::wav_float) {
        return write_wav_sizes(writer.wav);
    }
    if (!finish_flac(writer.flac)) {
        writer.error = "cannot write " + writer.path + ": " + writer.flac.error;
        return false;
    }
    return true;
}

void abandon_sound_file(SoundFileWriter& writer) {
    abandon_flac(writer.flac);
}

}  // namespace pluck
