#include "tools/sound_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "engine/tuning.h"

namespace pluck {

namespace {

// Full scale of a 24-bit sample; +-1 maps to +-(2^23 - 1), so that the
// scale is the same both ways and 1.0 itself is not clipped.
constexpr double pcm24_full_scale = 8388607.0;
// libsndfile takes integer samples left-aligned in 32 bits and keeps the
// top 24 of them.
constexpr int pcm24_shift = 8;
// Room left for the headers in a WAV file's 32-bit sizes.
constexpr int64_t wav_header_allowance_bytes = 4096;
// Attempts at a temporary name not already taken.
constexpr int temp_name_attempts = 100;

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

std::string system_error(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A hidden name beside `path`: `dir/.name.<pid>.<n>.part`, so that the
// rename into place stays on one file system.
std::string temp_path_for(const std::string& path, int attempt) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + name + "." + std::to_string(getpid()) + "." + std::to_string(attempt) + ".part";
}

void close_quietly(SoundFileWriter& writer) {
    if (writer.file != nullptr) {
        sf_close(writer.file);
        writer.file = nullptr;
    }
    if (writer.fd >= 0) {
        close(writer.fd);
        writer.fd = -1;
    }
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
    if (format == SoundFileFormat::wav_float) {
        return (INT64_C(0xFFFFFFFF) - wav_header_allowance_bytes) / frame_bytes;
    }
    return INT64_MAX / frame_bytes;
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

bool open_sound_file(SoundFileWriter& writer, const std::string& path, SoundFileFormat format) {
    writer = SoundFileWriter{};
    writer.format = format;
    writer.path = path;
    for (int attempt = 0; attempt < temp_name_attempts && writer.fd < 0; ++attempt) {
        writer.temp_path = temp_path_for(path, attempt);
        // Read and write: the FLAC encoder goes back to finish its header.
        writer.fd = open(writer.temp_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (writer.fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (writer.fd < 0) {
        writer.error = system_error("cannot write " + path);
        writer.temp_path.clear();
        return false;
    }

    SF_INFO info{};
    info.samplerate = sample_rate_hz;
    info.channels = channel_count;
    info.format = format == SoundFileFormat::wav_float ? (SF_FORMAT_WAV | SF_FORMAT_FLOAT)
                                                       : (SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    // The descriptor stays ours, to be synced and closed after sf_close().
    writer.file = sf_open_fd(writer.fd, SFM_WRITE, &info, SF_FALSE);
    if (writer.file == nullptr) {
        writer.error = "cannot write " + path + ": " + sf_strerror(nullptr);
        discard_sound_file(writer);
        return false;
    }
    return true;
}

bool write_sound_frames(SoundFileWriter& writer, const float* samples, int64_t frames) {
    sf_count_t written = 0;
    if (writer.format == SoundFileFormat::wav_float) {
        written = sf_writef_float(writer.file, samples, frames);
    } else {
        writer.pcm.resize(static_cast<size_t>(frames * channel_count));
        for (size_t i = 0; i < writer.pcm.size(); ++i) {
            // Shifted as unsigned: the sign bits of a negative value move up too.
            const auto value = static_cast<uint32_t>(sample_to_pcm24(samples[i], writer.clipped_samples));
            writer.pcm[i] = static_cast<int32_t>(value << pcm24_shift);
        }
        written = sf_writef_int(writer.file, writer.pcm.data(), frames);
    }
    if (written != frames) {
        writer.error = "cannot write " + writer.path + ": " + sf_strerror(writer.file);
        return false;
    }
    writer.frames_written += frames;
    return true;
}

bool finish_sound_file(SoundFileWriter& writer) {
    // sf_close() writes the final header; its result says whether it could.
    const int close_error = sf_close(writer.file);
    writer.file = nullptr;
    if (close_error != 0) {
        writer.error = "cannot write " + writer.path + ": " + sf_error_number(close_error);
        discard_sound_file(writer);
        return false;
    }
    // On disk before it takes the name: a crash must not leave a named but
    // empty file in place of the old one.
    bool ok = fsync(writer.fd) == 0;
    if (!ok) {
        writer.error = system_error("cannot write " + writer.path);
    }
    if (close(writer.fd) != 0 && ok) {
        writer.error = system_error("cannot write " + writer.path);
        ok = false;
    }
    writer.fd = -1;
    if (ok && rename(writer.temp_path.c_str(), writer.path.c_str()) != 0) {
        writer.error = system_error("cannot write " + writer.path);
        ok = false;
    }
    if (!ok) {
        discard_sound_file(writer);
        return false;
    }
    writer.temp_path.clear();
    return true;
}

void discard_sound_file(SoundFileWriter& writer) {
    close_quietly(writer);
    if (!writer.temp_path.empty()) {
        unlink(writer.temp_path.c_str());
        writer.temp_path.clear();
    }
}

}  // namespace pluck
