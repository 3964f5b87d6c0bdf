// The limits of the sound files. Their bytes, header and samples, are read
// back by other readers in test_pluck_render.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "sound_files/sound_file.h"
#include "sound_files/wav_file.h"

namespace pluck {
namespace {

// The longest WAV file's sizes still fit in the header's 32 bits, one frame
// more would not, and none is written.
TEST(WavFile, TheLongestFileStillHoldsItsSizes) {
    const auto header = wav_header(max_wav_frames);
    uint32_t riff_size = 0;
    std::memcpy(&riff_size, header.data() + 4, 4);
    EXPECT_EQ(riff_size, wav_header_bytes - 8 + static_cast<uint64_t>(max_wav_frames) * 8);
    EXPECT_GT(wav_header_bytes - 8 + static_cast<uint64_t>(max_wav_frames + 1) * 8, UINT64_C(0xFFFFFFFF));
    WavWriter wav{ByteSink{[](void*, uint64_t, const void*, size_t) { return true; }, nullptr},
                  max_wav_frames};
    const float frame[2] = {};
    EXPECT_FALSE(write_wav_frames(wav, frame, 1));
}

// Sizes brought up to date as frames come in count every frame written so
// far: the bytes are a valid WAV file at each update. A file cut part way
// through a frame counts the whole ones.
TEST(WavFile, SizesBroughtUpToDateCountEveryFrameSoFar) {
    static std::vector<uint8_t> bytes;
    WavWriter wav;
    start_wav(wav, ByteSink{[](void*, uint64_t at, const void* data, size_t size) {
                                bytes.resize(std::max<size_t>(bytes.size(), at + size));
                                return std::memcpy(bytes.data() + at, data, size) != nullptr;
                            },
                            nullptr});
    const float frames[2 * 3] = {};
    for (const int64_t n : {1, 3}) {
        ASSERT_TRUE(write_wav_frames(wav, frames, n) && write_wav_sizes(wav));
        const auto header = wav_header(wav.frames);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), bytes.begin()) &&
                    bytes.size() == wav_file_bytes(wav.frames));
        EXPECT_EQ(wav_frames_in(bytes.size() + 7), wav.frames);
    }
    EXPECT_EQ(wav.frames, 4);
}

// Scaled by 2^23 - 1, rounded to nearest with ties to even; beyond +-1 (and
// NaN) clipped and counted, +-1 itself not.
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
