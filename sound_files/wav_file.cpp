#include "sound_files/wav_file.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "engine/tuning.h"

namespace pluck {

namespace {

// WAVE_FORMAT_IEEE_FLOAT. Not PCM, so the fmt chunk carries cbSize (0: no
// extension) and a fact chunk gives the length in frames.
constexpr uint16_t format_ieee_float = 3;
constexpr uint32_t fmt_chunk_bytes = 18;
constexpr uint32_t fact_chunk_bytes = 4;
constexpr uint32_t bits_per_sample = 32;
constexpr int64_t bytes_per_frame = channel_count * bits_per_sample / 8;

// Samples converted to little-endian at a time on a big-endian machine.
constexpr int64_t swap_block_samples = 1024;

void put_tag(uint8_t*& at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
    at += 4;
}

void put_u16(uint8_t*& at, uint32_t value) {
    *at++ = static_cast<uint8_t>(value);
    *at++ = static_cast<uint8_t>(value >> 8);
}

void put_u32(uint8_t*& at, uint32_t value) {
    put_u16(at, value & 0xFFFF);
    put_u16(at, value >> 16);
}

bool write_samples(WavWriter& wav, uint64_t offset, const float* samples, int64_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        return wav.sink.write_at(wav.sink.context, offset, samples, static_cast<size_t>(count) * 4);
    } else {
        std::array<uint8_t, swap_block_samples * 4> bytes;
        for (int64_t done = 0; done < count; done += swap_block_samples) {
            const int64_t n = std::min(count - done, swap_block_samples);
            uint8_t* at = bytes.data();
            for (int64_t i = 0; i < n; ++i) {
                put_u32(at, std::bit_cast<uint32_t>(samples[done + i]));
            }
            if (!wav.sink.write_at(wav.sink.context, offset + static_cast<uint64_t>(done) * 4, bytes.data(),
                                   static_cast<size_t>(n) * 4)) {
                return false;
            }
        }
        return true;
    }
}

}  // namespace

std::array<uint8_t, wav_header_bytes> wav_header(int64_t frames) {
    const auto data_bytes = static_cast<uint32_t>(frames * bytes_per_frame);
    std::array<uint8_t, wav_header_bytes> header{};
    uint8_t* at = header.data();
    put_tag(at, "RIFF");
    put_u32(at, static_cast<uint32_t>(wav_header_bytes - 8) + data_bytes);
    put_tag(at, "WAVE");
    put_tag(at, "fmt ");
    put_u32(at, fmt_chunk_bytes);
    put_u16(at, format_ieee_float);
    put_u16(at, channel_count);
    put_u32(at, sample_rate_hz);
    put_u32(at, static_cast<uint32_t>(sample_rate_hz * bytes_per_frame));
    put_u16(at, static_cast<uint32_t>(bytes_per_frame));
    put_u16(at, bits_per_sample);
    put_u16(at, 0);
    put_tag(at, "fact");
    put_u32(at, fact_chunk_bytes);
    put_u32(at, static_cast<uint32_t>(frames));
    put_tag(at, "data");
    put_u32(at, data_bytes);
    return header;
}

bool start_wav(WavWriter& wav, ByteSink sink) {
    wav = WavWriter{sink, 0};
    const auto header = wav_header(0);
    return sink.write_at(sink.context, 0, header.data(), header.size());
}

bool write_wav_frames(WavWriter& wav, const float* samples, int64_t frames) {
    if (frames > max_wav_frames - wav.frames) {
        return false;
    }
    if (!write_samples(wav, wav_file_bytes(wav.frames), samples, frames * channel_count)) {
        return false;
    }
    wav.frames += frames;
    return true;
}

bool write_wav_sizes(WavWriter& wav) {
    // Only the three sizes change; the whole header is short enough to write
    // again, and that keeps one place that knows its layout.
    const auto header = wav_header(wav.frames);
    return wav.sink.write_at(wav.sink.context, 0, header.data(), header.size());
}

int64_t wav_frames_in(uint64_t file_bytes) {
    const uint64_t frames = file_bytes < wav_header_bytes
                                ? 0
                                : (file_bytes - wav_header_bytes) / static_cast<uint64_t>(bytes_per_frame);
    return static_cast<int64_t>(std::min<uint64_t>(frames, max_wav_frames));
}

uint64_t wav_file_bytes(int64_t frames) {
    return wav_header_bytes + static_cast<uint64_t>(frames * bytes_per_frame);
}

}  // namespace pluck
