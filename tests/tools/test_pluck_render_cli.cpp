// The pluck-render program run as a user runs it: exit statuses, messages,
// and the files it leaves (or does not leave) behind.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/tools/render_process.h"
#include "tests/tools/scratch_dir.h"
#include "tools/offline_render.h"
#include "tools/score.h"
#include "tools/sound_file.h"

namespace pluck {
namespace {

using Names = std::set<std::string>;

// All eight keys at once (beyond +-1), a chord, then the auto-play.
constexpr const char* phrase =
    "# eight notes, three more, then the auto-play\n"
    "0 z\n0 x\n0 c\n0 v\n0 b\n0 n\n0 m\n0 k\n"
    "300 z\n300 c\n300 b\n"
    "700 space-down\n"
    "1900 space-up\n"
    "2000 z\n";

bool append_frames(const float* samples, int64_t frames, void* context) {
    auto& out = *static_cast<std::vector<float>*>(context);
    out.insert(out.end(), samples, samples + 2 * frames);
    return true;
}

std::vector<float> render_in_process(const std::string& text, int64_t length_ms) {
    const ScoreParse score = parse_score(text);
    std::vector<float> out;
    EXPECT_TRUE(render_score(score.events, length_ms, FrameSink{append_frames, &out}));
    return out;
}

// Every sample of a stereo 44.1 kHz file of `format`, as libsndfile reads it.
template <typename Sample>
std::vector<Sample> read_sound(const std::string& path, int format) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    EXPECT_EQ(info.format, format);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 44100);
    std::vector<Sample> samples(static_cast<size_t>(info.frames * info.channels));
    if constexpr (std::is_same_v<Sample, float>) {
        EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    } else {
        EXPECT_EQ(sf_readf_int(file, samples.data(), info.frames), info.frames);
    }
    sf_close(file);
    return samples;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i])) << i;
    }
}

// The float WAV holds exactly what the renderer computes, values beyond +-1
// included, whether the score comes from a file or standard input; by
// default 3000 ms past the last event, or --length, dropping later events.
TEST(PluckRenderCli, WavHoldsTheRenderedSamples) {
    ScratchDir dir;
    const std::string score = dir.file("phrase.score");
    write_text(score, phrase);
    const RenderRun from_file = run_render({score, "-o", dir.file("a.wav")});
    ASSERT_EQ(from_file.exit_code, 0) << from_file.output;
    EXPECT_EQ(from_file.output, "");
    const RenderRun from_stdin = run_render({"-", "--output", dir.file("b.wav")}, score);
    ASSERT_EQ(from_stdin.exit_code, 0) << from_stdin.output;
    const RenderRun shorter = run_render({"--length=1001", score, "-o", dir.file("c.wav")});
    ASSERT_EQ(shorter.exit_code, 0) << shorter.output;
    EXPECT_NE(shorter.output.find("2 event(s) at or after 1001 ms"), std::string::npos) << shorter.output;

    const std::vector<float> expected = render_in_process(phrase, 2000 + 3000);
    ASSERT_TRUE(std::any_of(expected.begin(), expected.end(), [](float v) { return std::fabs(v) > 1.0f; }));
    expect_same_bits(read_sound<float>(dir.file("a.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT), expected);
    expect_same_bits(read_sound<float>(dir.file("b.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT), expected);
    expect_same_bits(read_sound<float>(dir.file("c.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT),
                     render_in_process(phrase, 1001));
    EXPECT_EQ(dir.names(), (Names{"phrase.score", "a.wav", "b.wav", "c.wav"}));
}

// Scaled by 2^23 - 1, rounded to nearest with ties to even, clipped to +-1.
TEST(PluckRenderCli, Pcm24ClipsToUnitRangeAndCountsClippedSamples) {
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

// FLAC is 24-bit and clipped; the one line on stderr counts exactly the
// samples that were outside [-1, 1].
TEST(PluckRenderCli, FlacReportsHowManySamplesWereClipped) {
    int64_t clipped = 0;
    std::vector<int> expected;
    for (float sample : render_in_process(phrase, 2000 + 3000)) {
        expected.push_back(static_cast<int>(static_cast<uint32_t>(sample_to_pcm24(sample, clipped)) << 8));
    }
    ASSERT_GT(clipped, 0);

    ScratchDir dir;
    write_text(dir.file("loud.score"), phrase);
    const RenderRun run = run_render({dir.file("loud.score"), "-o", dir.file("loud.flac")});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(run.output, "pluck-render: " + std::to_string(clipped) + " of " +
                              std::to_string(expected.size()) + " samples clipped to [-1, 1]\n");
    EXPECT_EQ(read_sound<int>(dir.file("loud.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24), expected);
}

// Each kind of bad line: the one-line message names the file and the first
// bad line (counted from 1, blank and comment lines included) and says what
// is wrong; the exit status is 2 and no output file is made.
TEST(PluckRenderCli, BadScoreLineNamesFileAndLineAndExitsWith2) {
    const struct {
        const char* text;
        int line;
        const char* says;
    } cases[] = {
        {"0 v\n10 q\n", 2, "unknown action \"q\""},
        {"0 Z\n", 1, "unknown action \"Z\""},
        {"# c\n\n0 v\n10 spacedown\n", 4, "unknown action"},
        {"0 v\n10\n", 2, "missing action"},
        {"# intro\n\nsoon v\n", 3, "bad time \"soon\""},
        {"-1 v\n", 1, "bad time \"-1\""},
        {"+5 v\n", 1, "bad time \"+5\""},
        {"1.5 v\n", 1, "bad time \"1.5\""},
        {"0x10 v\n", 1, "bad time \"0x10\""},
        {"2147483648 v\n", 1, "too late"},
        {"99999999999999999999999999 v\n", 1, "too late"},
        {"0 v\n100 z\n# gap\n99 x\n", 4,
         "time 99 is earlier than the event before it (100): times must not decrease"},
        {"10 v\n5 z\n3 q\n", 2, "earlier"},
        {"0 v x\n", 1, "unexpected \"x\" after the action"},
        {"0 v # note\n", 1, "unexpected \"# note\""},
        {"0 v\r\r\n", 1, "unknown action \"v\\x0d\""},
        {"0\xC2\xA0v\n", 1, "bad time \"0\\xc2\\xa0v\""},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string score = dir.file("bad.score");
        write_text(score, c.text);
        const RenderRun run = run_render({score, "-o", dir.file("out.wav")});
        EXPECT_EQ(run.exit_code, 2) << c.text;
        EXPECT_EQ(run.output.rfind(score + ":" + std::to_string(c.line) + ": ", 0), 0u) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
        EXPECT_EQ(dir.names(), Names{"bad.score"});
    }
    // From standard input the message names it so.
    ScratchDir dir;
    write_text(dir.file("bad.score"), "0 v\n1 w\n");
    const RenderRun run = run_render({"-", "-o", dir.file("out.wav")}, dir.file("bad.score"));
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.output.rfind("(standard input):2: unknown action \"w\"", 0), 0u) << run.output;
}

TEST(PluckRenderCli, BadCommandLinesExitWith2) {
    ScratchDir dir;
    write_text(dir.file("s.score"), "0 v\n");
    const std::string score = dir.file("s.score");
    const std::string out = dir.file("out.wav");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{score, "-o", dir.file("out.mp3")}, "must end in .wav or .flac"},
        {{score, "-o", dir.file("out.wav.txt")}, "must end in .wav or .flac"},
        {{score, "-o", dir.file("out")}, "must end in .wav or .flac"},
        {{score}, "no output file"},
        {{"-o", out}, "no score"},
        {{score, score, "-o", out}, "more than one score"},
        {{score, "-o", out, "--length", "1.5"}, "bad --length \"1.5\""},
        {{score, "-o", out, "--length", "-3"}, "bad --length"},
        {{score, "-o", out, "--loud"}, "unrecognized option"},
        {{score, "-o", out, "--length", "2147483647"}, "too long for a WAV file"},
    };
    for (const auto& c : cases) {
        const RenderRun run = run_render(c.args);
        EXPECT_EQ(run.exit_code, 2) << c.says;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("usage: pluck-render SCORE -o OUT [--length MS]"), std::string::npos);
    }
    EXPECT_EQ(dir.names(), Names{"s.score"});
    const RenderRun help = run_render({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.output.rfind("usage: pluck-render", 0), 0u);
}

// A score that cannot be read, or an output that cannot be written: found
// at the start, at the final rename (a directory has the target's name), or
// half way when the disk fills up. One message, status 1, no partial file
// left, and an earlier file of the target's name untouched.
TEST(PluckRenderCli, UnreadableScoreOrUnwritableOutputSaysSo) {
    ScratchDir dir;
    const std::string score = dir.file("s.score");
    write_text(score, "0 v\n");
    write_text(dir.file("out.wav"), "earlier take");
    std::filesystem::create_directory(dir.file("out.flac"));
    const struct {
        std::vector<std::string> args;
        std::string says;
        rlim_t file_size_limit;
    } cases[] = {
        {{dir.file("missing.score"), "-o", dir.file("a.wav")},
         "cannot read " + dir.file("missing.score") + ": No such file or directory\n",
         0},
        {{dir.path.string(), "-o", dir.file("a.wav")},
         "cannot read " + dir.path.string() + ": Is a directory\n",
         0},
        {{score, "-o", dir.file("nowhere/a.wav")},
         "cannot write " + dir.file("nowhere/a.wav") + ": No such file or directory\n",
         0},
        {{score, "-o", dir.file("out.flac")},
         "cannot write " + dir.file("out.flac") + ": Is a directory\n",
         0},
        {{score, "-o", dir.file("out.wav"), "--length", "10000"},
         "cannot write " + dir.file("out.wav") + ": ",
         256 * 1024},
    };
    for (const auto& c : cases) {
        const RenderRun run = run_render(c.args, "/dev/null", c.file_size_limit);
        EXPECT_EQ(run.exit_code, 1) << c.says;
        EXPECT_EQ(run.output.rfind("pluck-render: " + c.says, 0), 0u) << run.output;
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
    }
    EXPECT_EQ(dir.names(), (Names{"s.score", "out.flac", "out.wav"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("out.flac")));
    EXPECT_EQ(read_text(dir.file("out.wav")), "earlier take");
}

// Stopped half way by a signal: the frames so far went to a hidden file
// beside the target, which goes, and the program ends as the signal would
// have ended it.
TEST(PluckRenderCli, StoppedRenderLeavesNoHalfFile) {
    ScratchDir dir;
    write_text(dir.file("long.score"), "0 space-down\n");
    RenderProcess process;
    ASSERT_TRUE(process.start({dir.file("long.score"), "-o", dir.file("long.flac"), "--length", "7200000"}));
    EXPECT_TRUE(dir.wait_for_name_starting(".long.flac."));
    EXPECT_EQ(dir.names().count("long.flac"), 0u);
    kill(process.pid, SIGTERM);

    std::string output;
    const int status = process.finish(output);
    ASSERT_TRUE(WIFSIGNALED(status)) << output;
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_EQ(output, "pluck-render: stopped; " + dir.file("long.flac") + " not written\n");
    EXPECT_EQ(dir.names(), Names{"long.score"});
}

}  // namespace
}  // namespace pluck
