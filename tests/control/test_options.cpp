#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/block_queue.h"
#include "control/options.h"

namespace pluck {
namespace {

// ---------------------------------------------------------------- options

struct Case {
    std::vector<const char*> args;
    int status;
    // On success: the options read, as "latency device record list help version".
    // On failure: the error line.
    std::string expected;
};

std::string summary(const Options& o) {
    return std::to_string(o.latency_ms) + " " + o.device + " " + o.record_path + " " +
           std::to_string(o.list_devices) + std::to_string(o.help) + std::to_string(o.version);
}

TEST(Options, GnuFormsAndOneLineErrors) {
    const Case cases[] = {
        {{}, exit_ok, "0   000"},
        {{"--latency", "10"}, exit_ok, "10   000"},
        {{"--latency=17", "--device=hw:1,0"}, exit_ok, "17 hw:1,0  000"},
        {{"-l5", "-d", "pulse", "-r", "a b.wav"}, exit_ok, "5 pulse a b.wav 000"},
        {{"-r-x.wav"}, exit_ok, "0  -x.wav 000"},
        {{"--record", "--help"}, exit_ok, "0  --help 000"},  // a value may look like an option
        {{"--list-devices", "-h", "--version"}, exit_ok, "0   111"},
        {{"--latency=10", "--latency", "743"}, exit_ok, "743   000"},  // the last one counts
        {{"--"}, exit_ok, "0   000"},
        {{"--", "-h"}, exit_usage, "unexpected argument \"-h\": pluck takes options only"},
        {{"song.wav"}, exit_usage, "unexpected argument \"song.wav\": pluck takes options only"},
        {{"-"}, exit_usage, "unexpected argument \"-\": pluck takes options only"},
        {{"--latencyx=3"}, exit_usage, "unknown option --latencyx"},
        {{"--lat", "3"}, exit_usage, "unknown option --lat"},
        {{"-x"}, exit_usage, "unknown option -x"},
        {{"--latency"}, exit_usage, "option --latency needs a value"},
        {{"-d"}, exit_usage, "option -d needs a value"},
        {{"--device="}, exit_usage, "option --device needs a value"},
        {{"--help=1"}, exit_usage, "option --help takes no value"},
        {{"-hx"}, exit_usage, "option -h takes no value"},
        {{"--latency", "0"}, exit_usage, "bad --latency \"0\": expected whole milliseconds, 1 to 743"},
        {{"--latency=744"}, exit_usage, "bad --latency \"744\": expected whole milliseconds, 1 to 743"},
        {{"-l", "1.5"}, exit_usage, "bad --latency \"1.5\": expected whole milliseconds, 1 to 743"},
        {{"-l", "-3"}, exit_usage, "bad --latency \"-3\": expected whole milliseconds, 1 to 743"},
        {{"--latency="}, exit_usage, "bad --latency \"\": expected whole milliseconds, 1 to 743"},
        {{"-l", "99999999999"},
         exit_usage,
         "bad --latency \"99999999999\": expected whole milliseconds, 1 to 743"},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"pluck"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Options options;
        std::string error;
        const int status = parse_options(static_cast<int>(argv.size()), argv.data(), options, error);
        const std::string where = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(status, c.status) << where;
        EXPECT_EQ(status == exit_ok ? summary(options) : error, c.expected) << where;
    }
}

// The rule: the largest buffer of which about three make up the time, and
// as many as come nearest, at least two.
TEST(Options, LatencyChoosesTheRing) {
    struct Ring {
        int32_t ms, period, periods;
    };
    const Ring rings[] = {
        {70, 512, 6}, {743, 512, 64}, {35, 512, 3}, {30, 512, 3}, {29, 256, 5}, {25, 256, 4},
        {17, 256, 3}, {16, 256, 3},   {14, 128, 5}, {10, 128, 3}, {7, 128, 2},  {1, 128, 2},
    };
    for (const Ring& r : rings) {
        const RingLayout ring = ring_for_latency(r.ms);
        EXPECT_EQ(ring.period_frames, r.period) << r.ms << " ms";
        EXPECT_EQ(ring.periods, r.periods) << r.ms << " ms";
    }
    // No --latency: the six 512-frame buffers, at ordinary priority.
    Options none;
    EXPECT_EQ(audio_settings(none).ring_buffers, 6);
    EXPECT_EQ(audio_settings(none).buffer_frames, 512);
    EXPECT_FALSE(audio_settings(none).raise_priority);
    EXPECT_STREQ(audio_settings(none).device_name, "default");
    Options low;
    low.latency_ms = 17;
    EXPECT_TRUE(audio_settings(low).raise_priority);
    low.latency_ms = 35;
    EXPECT_FALSE(audio_settings(low).raise_priority);
}

// ---------------------------------------------------------------- queue

// Frame i of a stream holds i and -i.
std::vector<float> numbered(uint32_t from, uint32_t frames) {
    std::vector<float> samples;
    for (uint32_t i = from; i < from + frames; ++i) {
        samples.push_back(static_cast<float>(i));
        samples.push_back(-static_cast<float>(i));
    }
    return samples;
}

// Takes every block waiting; checks that each frame comes after the last
// one seen (`next`), right after it unless frames may have been lost.
// Returns the frames taken.
uint32_t take_all(BlockQueue& q, uint32_t& next, bool may_skip) {
    uint32_t taken = 0;
    while (const QueuedBlock* block = peek_block(q)) {
        for (uint32_t f = 0; f < block->frames; ++f) {
            const auto n = static_cast<uint32_t>(block->samples[2 * f]);
            EXPECT_TRUE(n == next || (may_skip && n > next)) << n << " after " << next;
            EXPECT_EQ(block->samples[2 * f + 1], -block->samples[2 * f]);
            next = n + 1;
        }
        taken += block->frames;
        release_block(q);
    }
    return taken;
}

TEST(BlockQueue, FullQueueDropsAndCountsWhatDoesNotFit) {
    auto q = std::make_unique<BlockQueue>();
    // A buffer longer than a block goes in pieces; nobody takes anything.
    const uint32_t fits = queue_block_frames * (queue_blocks - 1) + 100;
    const std::vector<float> first = numbered(0, fits);
    put_frames(*q, first.data(), fits);
    EXPECT_EQ(q->lost_frames.load(), 0);
    const std::vector<float> more = numbered(fits, 300);
    put_frames(*q, more.data(), 300);
    EXPECT_EQ(q->lost_frames.load(), 300);
    uint32_t next = 0;
    EXPECT_EQ(take_all(*q, next, false), fits);
    // Room again.
    put_frames(*q, more.data(), 300);
    EXPECT_EQ(take_all(*q, next, false), 300u);
    EXPECT_EQ(next, fits + 300);
}

// One thread puts as the audio thread does while another takes as the
// writer does: every frame arrives once and in order, or is counted lost.
TEST(BlockQueue, TwoThreadsLoseNothingUncounted) {
    auto q = std::make_unique<BlockQueue>();
    constexpr uint32_t buffers = 20000;
    constexpr uint32_t frames = 128;
    std::atomic<bool> done{false};
    std::thread audio([&] {
        for (uint32_t b = 0; b < buffers; ++b) {
            const std::vector<float> block = numbered(b * frames, frames);
            put_frames(*q, block.data(), frames);
        }
        done.store(true);
    });
    uint32_t next = 0;
    uint32_t taken = 0;
    while (!done.load()) {
        taken += take_all(*q, next, true);
    }
    audio.join();
    taken += take_all(*q, next, true);
    EXPECT_EQ(taken + q->lost_frames.load(), buffers * frames);
    EXPECT_GT(taken, 0u);
}

}  // namespace
}  // namespace pluck
