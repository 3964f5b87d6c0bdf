// The limits of the sound files. Their bytes, header and samples, are read
// back by other readers in test_pluck_render.py.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

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
