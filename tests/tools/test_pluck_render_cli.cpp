// The pluck-render program run as a user runs it: exit statuses, messages,
// and the files it leaves (or does not leave) behind.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <bit>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/render_process.h"
#include "tests/tools/scratch_dir.h"
#include "tools/offline_render.h"
#include "tools/score.h"
#include "tools/sound_file.h"

namespace pluck {
namespace {

using Names = std::set<std::string>;

constexpr const char* phrase =
    "# four notes, then the auto-play\n"
    "0 v\n"
    "250 n\n"
    "250 b\n"
    "500 k\n"
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

std::vector<float> read_wav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(a[i]), std::bit_cast<uint32_t>(b[i])) << i;
    }
}

// The file holds exactly what the renderer computes in process, whether
// the score comes from a file or from standard input, and by default runs
// to 3000 ms after the last event.
TEST(PluckRenderCli, WavHoldsTheRenderedSamples) {
    ScratchDir dir;
    write_text(dir.file("phrase.score"), phrase);
    const RenderRun from_file = run_render({dir.file("phrase.score"), "-o", dir.file("a.wav")});
    ASSERT_EQ(from_file.exit_code, 0) << from_file.output;
    EXPECT_EQ(from_file.output, "");
    const RenderRun from_stdin = run_render({"-", "--output", dir.file("b.wav")}, dir.file("phrase.score"));
    ASSERT_EQ(from_stdin.exit_code, 0) << from_stdin.output;

    const std::vector<float> expected = render_in_process(phrase, 2000 + 3000);
    expect_same_bits(read_wav(dir.file("a.wav")), expected);
    expect_same_bits(read_wav(dir.file("b.wav")), expected);
    EXPECT_EQ(dir.names(), (Names{"phrase.score", "a.wav", "b.wav"}));
}

// The example score in the repository stays valid and renders quietly.
TEST(PluckRenderCli, RendersTheExampleScore) {
    ScratchDir dir;
    const std::string example = PLUCK_SOURCE_DIR "/examples/demo.score";
    const RenderRun run = run_render({example, "-o", dir.file("demo.wav")});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(run.output, "");
    const ScoreParse score = parse_score(read_text(example));
    ASSERT_FALSE(score.events.empty());
    expect_same_bits(read_wav(dir.file("demo.wav")),
                     render_in_process(read_text(example), score.events.back().time_ms + 3000));
}

TEST(PluckRenderCli, LengthSetsTheFramesAndDropsLaterEvents) {
    ScratchDir dir;
    write_text(dir.file("phrase.score"), phrase);
    const RenderRun run = run_render({"--length=1001", dir.file("phrase.score"), "-o", dir.file("a.wav")});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("2 event(s) at or after 1001 ms"), std::string::npos) << run.output;
    expect_same_bits(read_wav(dir.file("a.wav")), render_in_process(phrase, 1001));
}

// FLAC is 24-bit and clipped; the one line on stderr counts exactly the
// samples that were outside [-1, 1]. All eight keys at once go beyond it.
TEST(PluckRenderCli, FlacReportsHowManySamplesWereClipped) {
    const std::string loud = "0 z\n0 x\n0 c\n0 v\n0 b\n0 n\n0 m\n0 k\n300 z\n300 c\n300 b\n";
    int64_t clipped = 0;
    std::vector<int> expected;
    for (float sample : render_in_process(loud, 1500)) {
        expected.push_back(static_cast<int>(static_cast<uint32_t>(sample_to_pcm24(sample, clipped)) << 8));
    }
    ASSERT_GT(clipped, 0);

    ScratchDir dir;
    write_text(dir.file("loud.score"), loud);
    const RenderRun run =
        run_render({dir.file("loud.score"), "-o", dir.file("loud.flac"), "--length", "1500"});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(run.output, "pluck-render: " + std::to_string(clipped) + " of " +
                              std::to_string(expected.size()) + " samples clipped to [-1, 1]\n");

    SF_INFO info{};
    SNDFILE* file = sf_open(dir.file("loud.flac").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    std::vector<int> samples(static_cast<size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_int(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    EXPECT_EQ(samples, expected);
}

struct BadLine {
    const char* text;
    int line;
    const char* says;
};

// Each kind of bad line: the message names the file and the line, the exit
// status is 2, and no output file is made.
TEST(PluckRenderCli, BadScoreLineNamesFileAndLineAndExitsWith2) {
    const BadLine cases[] = {
        {"0 v\n10 q\n", 2, "unknown action \"q\""},
        {"# intro\n\nsoon v\n", 3, "bad time \"soon\""},
        {"-1 v\n", 1, "bad time \"-1\""},
        {"3000000000 v\n", 1, "too late"},
        {"0 v\n500 z\n499 x\n", 3, "earlier than the event before it"},
        {"0 v\n10\n", 2, "missing action"},
        {"0 v\n10 z z\n", 2, "unexpected \"z\""},
    };
    for (const BadLine& c : cases) {
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
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{score, "-o", dir.file("out.mp3")}, "must end in .wav or .flac"},
        {{score, "-o", dir.file("out")}, "must end in .wav or .flac"},
        {{score}, "no output file"},
        {{"-o", dir.file("out.wav")}, "no score"},
        {{score, score, "-o", dir.file("out.wav")}, "more than one score"},
        {{score, "-o", dir.file("out.wav"), "--length", "1.5"}, "bad --length \"1.5\""},
        {{score, "-o", dir.file("out.wav"), "--length", "-3"}, "bad --length"},
        {{score, "-o", dir.file("out.wav"), "--loud"}, "unrecognized option"},
        {{score, "-o", dir.file("out.wav"), "--length", "2147483647"}, "too long for a WAV file"},
    };
    for (const Case& c : cases) {
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

TEST(PluckRenderCli, UnreadableScoreSaysSo) {
    ScratchDir dir;
    const RenderRun missing = run_render({dir.file("missing.score"), "-o", dir.file("out.wav")});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.output,
              "pluck-render: cannot read " + dir.file("missing.score") + ": No such file or directory\n");

    const RenderRun directory = run_render({dir.path.string(), "-o", dir.file("out.wav")});
    EXPECT_EQ(directory.exit_code, 1);
    EXPECT_NE(directory.output.find("cannot read " + dir.path.string() + ": Is a directory"),
              std::string::npos)
        << directory.output;
    EXPECT_EQ(dir.names(), Names{});
}

TEST(PluckRenderCli, UnwritableOutputSaysSoAndLeavesNothing) {
    ScratchDir dir;
    write_text(dir.file("s.score"), "0 v\n");
    const std::string missing_dir = dir.file("nowhere/out.wav");
    const RenderRun missing = run_render({dir.file("s.score"), "-o", missing_dir});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.output, "pluck-render: cannot write " + missing_dir + ": No such file or directory\n");

    // A directory where the file should go: found only at the rename.
    std::filesystem::create_directory(dir.file("out.flac"));
    const RenderRun blocked = run_render({dir.file("s.score"), "-o", dir.file("out.flac")});
    EXPECT_EQ(blocked.exit_code, 1);
    EXPECT_NE(blocked.output.find("cannot write " + dir.file("out.flac") + ": Is a directory"),
              std::string::npos)
        << blocked.output;
    EXPECT_EQ(dir.names(), (Names{"s.score", "out.flac"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("out.flac")));
}

// A disk that fills up half way: the run fails, its partial file goes, and
// an earlier file of the same name is still there, untouched.
TEST(PluckRenderCli, FailedWriteLeavesNoHalfFile) {
    ScratchDir dir;
    write_text(dir.file("s.score"), "0 v\n");
    write_text(dir.file("out.wav"), "earlier take");
    const RenderRun run = run_render({dir.file("s.score"), "-o", dir.file("out.wav"), "--length", "10000"},
                                     "/dev/null", 256 * 1024);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.output.rfind("pluck-render: cannot write " + dir.file("out.wav") + ": ", 0), 0u)
        << run.output;
    EXPECT_EQ(dir.names(), (Names{"s.score", "out.wav"}));
    EXPECT_EQ(read_text(dir.file("out.wav")), "earlier take");
}

// Stopped half way by a signal: the partial file goes and the program ends
// as the signal would have ended it.
TEST(PluckRenderCli, StoppedRenderLeavesNoHalfFile) {
    ScratchDir dir;
    write_text(dir.file("long.score"), "0 space-down\n");
    RenderProcess process;
    ASSERT_TRUE(process.start({dir.file("long.score"), "-o", dir.file("long.flac"), "--length", "7200000"}));

    // Wait, generously, for the partial file to appear beside the target.
    bool partial_seen = false;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!partial_seen && std::chrono::steady_clock::now() < give_up) {
        for (const std::string& name : dir.names()) {
            partial_seen = partial_seen || name.rfind(".long.flac.", 0) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(partial_seen);
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
