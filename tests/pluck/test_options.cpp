#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pluck/block_queue.h"
#include "pluck/options.h"

namespace pluck {
namespace {

// Each argument vector gives the options read, as "latency device record
// list help version", or the one-line error with status 2. The forms
// themselves are read_command_line's (tests/system); here, pluck's own
// options, values and rules: whole names only, no grouped short options, no
// operands.
TEST(Options, GnuFormsAndOneLineErrors) {
    const std::string bad_latency = "expected whole milliseconds, 1 to 743";
    const struct {
        std::vector<const char*> args;
        std::string expected;
    } cases[] = {
        {{}, "0   000"},
        {{"--latency", "10"}, "10   000"},
        {{"-l5", "-d", "pulse", "-r", "a b.wav"}, "5 pulse a b.wav 000"},
        {{"--list-devices", "-h", "--version"}, "0   111"},
        {{"--latency=10", "--latency", "743"}, "743   000"},  // the last one counts
        {{"-l", "00001"}, "1   000"},                         // leading zeros, as for any number
        {{"-l", "00000"}, "bad --latency \"00000\": " + bad_latency},
        {{"--", "-h"}, "unexpected argument \"-h\": pluck takes options only"},
        {{"-"}, "unexpected argument \"-\": pluck takes options only"},
        {{"--lat", "3"}, "unknown option --lat"},
        {{"--device="}, "option --device needs a value"},
        {{"-hx"}, "option -h takes no value"},
        {{"--latency", "0"}, "bad --latency \"0\": " + bad_latency},
        {{"--latency=744"}, "bad --latency \"744\": " + bad_latency},
        {{"-l", "1.5"}, "bad --latency \"1.5\": " + bad_latency},
        {{"-l", "-3"}, "bad --latency \"-3\": " + bad_latency},
        {{"--latency="}, "bad --latency \"\": " + bad_latency},
        {{"-l", "99999999999"}, "bad --latency \"99999999999\": " + bad_latency},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"pluck"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Options o;
        std::string error;
        const int status = parse_options(static_cast<int>(argv.size()), argv.data(), o, error);
        const bool ok = c.expected[0] >= '0' && c.expected[0] <= '9';
        EXPECT_EQ(status, ok ? exit_ok : exit_usage) << c.expected;
        EXPECT_EQ(ok ? std::to_string(o.latency_ms) + " " + o.device + " " + o.record_path + " " +
                           std::to_string(o.list_devices) + std::to_string(o.help) + std::to_string(o.version)
                     : error,
                  c.expected);
    }
}

// --help, --version and --list-devices into a full disk: one line saying
// so, and the status of a file that could not be written.
TEST(Options, AnswersThatCannotBeWrittenFail) {
    for (bool Options::*asked : {&Options::help, &Options::version, &Options::list_devices}) {
        Options o;
        o.*asked = true;
        EXPECT_EXIT(std::exit(std::freopen("/dev/full", "w", stdout) ? answer_without_playing(o) : 3),
                    testing::ExitedWithCode(exit_failure),
                    "^pluck: cannot write \\(standard output\\): No space left on device\n$");
    }
}

// The audio output plays the ring --latency lays out (tests/audio hold the
// rule), on the default device; below 512-frame buffers, with a raised
// priority.
TEST(Options, LatencyLaysOutTheRingPlayed) {
    const struct {
        int32_t ms, buffer_frames, buffers;
    } rings[] = {{0, 512, 6}, {35, 512, 3}, {29, 256, 5}, {10, 128, 3}};
    for (const auto& r : rings) {
        Options o;
        o.latency_ms = r.ms;
        const AudioSettings settings = audio_settings(o);
        EXPECT_EQ(settings.buffer_frames, r.buffer_frames) << r.ms << " ms";
        EXPECT_EQ(settings.ring_buffers, r.buffers) << r.ms << " ms";
        EXPECT_EQ(settings.raise_priority, r.buffer_frames < 512) << r.ms << " ms";
        EXPECT_STREQ(settings.device_name, "default");
    }
}

// A full queue (nobody taking: the recording's writer stalled) drops what
// does not fit and counts it; what was taken comes in order, once.
TEST(BlockQueue, FullQueueDropsAndCountsWhatDoesNotFit) {
    auto q = std::make_unique<BlockQueue>();
    const uint32_t fits = queue_block_frames * (queue_blocks - 1) + 100;
    std::vector<float> numbered;
    for (uint32_t i = 0; i < fits + 300; ++i) {
        numbered.insert(numbered.end(), {static_cast<float>(i), -static_cast<float>(i)});
    }
    put_frames(*q, numbered.data(), fits);  // a buffer longer than a block goes in pieces
    put_frames(*q, numbered.data() + 2 * fits, 300);
    EXPECT_EQ(q->lost_frames.load(), 300);
    uint32_t next = 0;
    for (int round = 0; round < 2; ++round) {
        while (const QueuedBlock* block = peek_block(*q)) {
            for (uint32_t f = 0; f < block->frames; ++f, ++next) {
                ASSERT_EQ(block->samples[2 * f], static_cast<float>(next));
                ASSERT_EQ(block->samples[2 * f + 1], -static_cast<float>(next));
            }
            release_block(*q);
        }
        EXPECT_EQ(next, round == 0 ? fits : fits + 300);
        put_frames(*q, numbered.data() + 2 * fits, 300);  // room again
    }
}

}  // namespace
}  // namespace pluck
