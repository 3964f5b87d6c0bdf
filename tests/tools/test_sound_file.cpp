#include <gtest/gtest.h>
#include <sndfile.h>

#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "tests/tools/scratch_dir.h"
#include "tools/offline_render.h"
#include "tools/sound_file.h"

namespace pluck {
namespace {

using Names = std::set<std::string>;

bool write_whole_file(const std::string& path, SoundFileFormat format, const std::vector<float>& samples) {
    SoundFileWriter writer;
    if (!open_sound_file(writer, path, format)) {
        ADD_FAILURE() << writer.error;
        return false;
    }
    // In two pieces, as the renderer hands them over.
    const int64_t frames = static_cast<int64_t>(samples.size()) / 2;
    const int64_t first = frames / 3;
    const bool ok = write_sound_frames(writer, samples.data(), first) &&
                    write_sound_frames(writer, samples.data() + 2 * first, frames - first) &&
                    finish_sound_file(writer);
    EXPECT_TRUE(ok) << writer.error;
    return ok;
}

// What libsndfile reads back from a float file: the header's facts and
// every sample.
struct ReadBack {
    SF_INFO info{};
    std::vector<float> floats;
};

ReadBack read_back(const std::string& path) {
    ReadBack back;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &back.info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path << ": " << sf_strerror(nullptr);
        return back;
    }
    back.floats.resize(static_cast<size_t>(back.info.frames * back.info.channels));
    EXPECT_EQ(sf_readf_float(file, back.floats.data(), back.info.frames), back.info.frames);
    sf_close(file);
    return back;
}

bool append_frames(const float* samples, int64_t frames, void* context) {
    auto& out = *static_cast<std::vector<float>*>(context);
    out.insert(out.end(), samples, samples + 2 * frames);
    return true;
}

TEST(SoundFile, FormatFollowsTheExtension) {
    SoundFileFormat format{};
    ASSERT_TRUE(sound_file_format_for_path("a/b.wav", format));
    EXPECT_EQ(format, SoundFileFormat::wav_float);
    ASSERT_TRUE(sound_file_format_for_path("B.WAV", format));
    EXPECT_EQ(format, SoundFileFormat::wav_float);
    ASSERT_TRUE(sound_file_format_for_path("take.Flac", format));
    EXPECT_EQ(format, SoundFileFormat::flac_24);
    for (const char* other : {"x.mp3", "x.wav.txt", "wav", "flac", "x.fla", "x.aiff", ""}) {
        EXPECT_FALSE(sound_file_format_for_path(other, format)) << other;
    }
    // A WAV file's 32-bit sizes hold a little over three hours of frames.
    EXPECT_GT(max_sound_file_frames(SoundFileFormat::wav_float), frame_at_ms(3 * 3600 * 1000));
    EXPECT_LT(max_sound_file_frames(SoundFileFormat::wav_float), frame_at_ms(4 * 3600 * 1000));
}

// The float WAV holds every sample bit for bit: values beyond +-1, -0,
// subnormals and huge values included, none normalised or clipped; and a
// real render of the instrument.
TEST(SoundFile, WavHoldsTheSamplesBitForBit) {
    std::vector<float> samples = {0.0f,   -0.0f,   1.0f,  -1.0f, 1.5f,  -2.75f,
                                  1e-40f, -1e-45f, 3e38f, 0.1f,  -0.3f, 1.0000001f};
    const ScoreParse score = parse_score("0 z\n0 x\n0 c\n0 v\n0 b\n0 n\n0 m\n0 k\n20 space-down\n");
    ASSERT_TRUE(render_score(score.events, 1500, FrameSink{append_frames, &samples}));

    ScratchDir dir;
    const std::string path = dir.file("take.wav");
    ASSERT_TRUE(write_whole_file(path, SoundFileFormat::wav_float, samples));
    const ReadBack back = read_back(path);
    EXPECT_EQ(back.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(back.info.channels, 2);
    EXPECT_EQ(back.info.samplerate, 44100);
    ASSERT_EQ(back.floats.size(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(back.floats[i]), std::bit_cast<uint32_t>(samples[i])) << i;
    }
    EXPECT_EQ(dir.names(), Names{"take.wav"});
}

TEST(SoundFile, Pcm24ClipsToUnitRangeAndCountsClippedSamples) {
    int64_t clipped = 0;
    EXPECT_EQ(sample_to_pcm24(0.0f, clipped), 0);
    EXPECT_EQ(sample_to_pcm24(1.0f, clipped), 8388607);
    EXPECT_EQ(sample_to_pcm24(-1.0f, clipped), -8388607);
    EXPECT_EQ(sample_to_pcm24(0.5f, clipped), 4194304);  // 4194303.5: tie to even
    EXPECT_EQ(sample_to_pcm24(-0.5f, clipped), -4194304);
    EXPECT_EQ(sample_to_pcm24(0.25f, clipped), 2097152);  // 2097151.75
    EXPECT_EQ(sample_to_pcm24(1e-7f, clipped), 1);        // 0.84
    EXPECT_EQ(clipped, 0);
    EXPECT_EQ(sample_to_pcm24(1.0000001f, clipped), 8388607);
    EXPECT_EQ(sample_to_pcm24(-1.0000001f, clipped), -8388607);
    EXPECT_EQ(sample_to_pcm24(7.0f, clipped), 8388607);
    EXPECT_EQ(sample_to_pcm24(-std::numeric_limits<float>::infinity(), clipped), -8388607);
    EXPECT_EQ(sample_to_pcm24(std::numeric_limits<float>::quiet_NaN(), clipped), 0);
    EXPECT_EQ(clipped, 5);
}

// The file takes its name only when finished: until then an earlier file
// of that name is left alone and the frames go to a hidden file beside it.
TEST(SoundFile, TakesItsNameOnlyWhenFinished) {
    ScratchDir dir;
    const std::string path = dir.file("take.wav");
    write_text(path, "earlier take");
    const std::vector<float> samples(2000, 0.25f);

    SoundFileWriter writer;
    ASSERT_TRUE(open_sound_file(writer, path, SoundFileFormat::wav_float)) << writer.error;
    ASSERT_TRUE(write_sound_frames(writer, samples.data(), 1000));
    EXPECT_EQ(read_text(path), "earlier take");
    ASSERT_EQ(dir.names().size(), 2u);
    EXPECT_EQ(std::filesystem::path(writer.temp_path).parent_path(), dir.path);
    EXPECT_EQ(std::filesystem::path(writer.temp_path).filename().string().front(), '.');

    ASSERT_TRUE(finish_sound_file(writer)) << writer.error;
    EXPECT_EQ(dir.names(), Names{"take.wav"});
    EXPECT_EQ(read_back(path).floats, samples);
}

}  // namespace
}  // namespace pluck
