// The bytes of the sound files: the WAV writer's header and samples, and
// the 24-bit conversion of FLAC files. The files the program writes are
// read back by other readers in test_pluck_render.py.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "tools/sound_file.h"
#include "tools/wav_file.h"

namespace pluck {
namespace {

bool write_to_string(void* context, uint64_t offset, const void* bytes, size_t size) {
    auto& file = *static_cast<std::string*>(context);
    if (file.size() < offset + size) {
        file.resize(offset + size);
    }
    file.replace(offset, size, static_cast<const char*>(bytes), size);
    return true;
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        out += "0123456789abcdef"[c >> 4];
        out += "0123456789abcdef"[c & 15];
    }
    return out;
}

// A 3-frame file, worked out by hand from the format's definition: RIFF
// size 50 + 24, a WAVEFORMATEX for IEEE float (3), 2 channels, 44100 Hz,
// 352800 bytes/s, 8-byte frames of 32-bit samples, cbSize 0; fact: 3 frames;
// data: 24 bytes, little-endian floats, as they were (NaN, -0 and beyond 1
// too). The header is rewritten when the file is finished.
TEST(WavFile, CanonicalHeaderThenTheSamplesBitForBit) {
    std::string file;
    WavWriter wav;
    ASSERT_TRUE(start_wav(wav, ByteSink{write_to_string, &file}));
    EXPECT_EQ(file.size(), wav_header_bytes);
    const float samples[6] = {1.5f, -0.0f, std::numeric_limits<float>::quiet_NaN(), 0.25f, -1.0f, 1e-45f};
    ASSERT_TRUE(write_wav_frames(wav, samples, 2));
    ASSERT_TRUE(write_wav_frames(wav, samples + 4, 1));
    ASSERT_TRUE(finish_wav(wav));
    EXPECT_EQ(hex(file.substr(0, wav_header_bytes)),
              "524946464a00000057415645"
              "666d7420120000000300020044ac00002062050008002000"
              "0000"
              "666163740400000003000000"
              "6461746118000000");
    EXPECT_EQ(file.substr(wav_header_bytes),
              std::string(reinterpret_cast<const char*>(samples), sizeof samples));

    // The longest file's sizes still fit in 32 bits; one frame more would not.
    const auto header = wav_header(max_wav_frames);
    uint32_t riff_size = 0;
    std::memcpy(&riff_size, header.data() + 4, 4);
    EXPECT_EQ(riff_size, wav_header_bytes - 8 + static_cast<uint64_t>(max_wav_frames) * 8);
    EXPECT_GT(wav_header_bytes - 8 + static_cast<uint64_t>(max_wav_frames + 1) * 8, UINT64_C(0xFFFFFFFF));
    wav.frames = max_wav_frames;
    EXPECT_FALSE(write_wav_frames(wav, samples, 1));
}

// Scaled by 2^23 - 1, rounded to nearest with ties to even, clipped to +-1.
TEST(SoundFile, Pcm24ClipsToUnitRangeAndCountsClippedSamples) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float sample;
        int32_t pcm;
        int64_t clipped;
    } cases[] = {
        {0.0f, 0, 0},       {1.0f, 8388607, 0},       {-1.0f, -8388607, 0},
        {0.5f, 4194304, 0}, {-0.5f, -4194304, 0},     {0.25f, 2097152, 0},  // 4194303.5, 2097151.75
        {1e-7f, 1, 0},      {1.0000001f, 8388607, 1}, {-1.0000001f, -8388607, 1},
        {7.0f, 8388607, 1}, {-inf, -8388607, 1},      {std::numeric_limits<float>::quiet_NaN(), 0, 1},
    };
    for (const auto& c : cases) {
        int64_t clipped = 0;
        EXPECT_EQ(sample_to_pcm24(c.sample, clipped), c.pcm) << c.sample;
        EXPECT_EQ(clipped, c.clipped) << c.sample;
    }
}

}  // namespace
}  // namespace pluck
