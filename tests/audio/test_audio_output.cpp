// The audio output thread against real ALSA devices that need no sound
// server: a file device (every frame it is given lands in a file, with no
// clock of its own) and a device that does not exist.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.h"
#include "tests/support/fd_capture.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;

// ---- A fill callback that numbers every frame ------------------------------

// Frame n (from 1) carries n * 2^-22 on the left and its negative on the
// right: exact in float32 for millions of frames, so a lost, repeated or
// reordered buffer shows as a break in the count.
float frame_value(uint32_t n) {
    return static_cast<float>(n) * 0x1p-22f;
}

constexpr int max_recorded_calls = 100000;
std::atomic<int> fill_calls{0};
std::atomic<int> wrong_sizes{0};
void* fill_buffers[max_recorded_calls];
uint32_t frames_numbered = 0;  // audio thread only

void reset_fill() {
    fill_calls = 0;
    wrong_sizes = 0;
    frames_numbered = 0;
}

// The file device takes frames as fast as they come; a short sleep per
// buffer keeps the file small.
void numbering_fill(void* buffer, uint32_t bytes) {
    const int call = fill_calls.fetch_add(1);
    if (call < max_recorded_calls) {
        fill_buffers[call] = buffer;
    }
    if (bytes != 4096) {
        wrong_sizes.fetch_add(1);
    }
    float* samples = static_cast<float*>(buffer);
    for (uint32_t i = 0; i < bytes / 8; ++i) {
        const float v = frame_value(++frames_numbered);
        samples[2 * i] = v;
        samples[2 * i + 1] = -v;
    }
    std::this_thread::sleep_for(1ms);
}

// ---- ALSA configuration for one test ----------------------------------------

// A directory of the test's own, and an ALSA configuration in it whose
// "default" is the given device; the process uses it until the test ends.
struct AlsaDefault {
    std::string dir;

    AlsaDefault() {
        char pattern[] = "/tmp/pluck-alsa-XXXXXX";
        dir = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
    }
    ~AlsaDefault() {
        unsetenv("ALSA_CONFIG_PATH");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    void use(const std::string& definition) const {
        std::ofstream(dir + "/asound.conf") << "pcm.!default " << definition << "\n";
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir + "/asound.conf").c_str(), 1);
    }
    // A device that writes every frame it gets into `path`, with no clock.
    void use_file_device(const std::string& path) const {
        use("{ type file slave.pcm \"null\" file \"" + path + "\" format \"raw\" }");
    }
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool wait_until(const auto& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// ---- Tests -----------------------------------------------------------------

TEST(AudioOutput, StopOnANullHandleDoesNothing) {
    EXPECT_TRUE(stop_audio(nullptr));
    EXPECT_EQ(audio_status(nullptr).phase, AudioPhase::ended);
}

// The device is handed six buffers of silence, then every buffer the
// callback fills, in ring order, each exactly once: the file holds the
// whole stream, so nothing may be missing, doubled or out of order.
TEST(AudioOutput, SilenceFirstThenEveryBufferInRingOrder) {
    AlsaDefault alsa;
    const std::string out = alsa.dir + "/out.raw";
    alsa.use_file_device(out);
    reset_fill();

    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([&] { return fill_calls >= 60; }, 10s)) << "the callback was not called";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_TRUE(status.device_opened);
    EXPECT_EQ(status.granted.period_frames, 512u);
    EXPECT_EQ(status.granted.buffer_frames, 3072u);
    EXPECT_EQ(status.granted.queue_frames, 3072u);
    ASSERT_TRUE(stop_audio(handle));

    const int calls = fill_calls;
    ASSERT_LT(calls, max_recorded_calls);
    EXPECT_EQ(wrong_sizes, 0) << "every buffer is 512 frames";
    std::vector<void*> first_six(fill_buffers, fill_buffers + 6);
    std::sort(first_six.begin(), first_six.end());
    EXPECT_EQ(std::unique(first_six.begin(), first_six.end()), first_six.end()) << "six distinct buffers";
    for (int i = 6; i < calls; ++i) {
        ASSERT_EQ(fill_buffers[i], fill_buffers[i - 6]) << "call " << i << " is out of ring order";
    }

    const std::string bytes = read_file(out);
    ASSERT_EQ(bytes.size(), (6u + calls) * 4096u) << "the device got every buffer filled, once";
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), bytes.size());
    const size_t silence = 6 * 512 * 2;
    for (size_t i = 0; i < silence; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(samples[i]), 0u) << "sample " << i << " of the leading silence";
    }
    for (size_t i = silence; i < samples.size(); i += 2) {
        const uint32_t n = static_cast<uint32_t>((i - silence) / 2 + 1);
        ASSERT_EQ(std::bit_cast<uint32_t>(samples[i]), std::bit_cast<uint32_t>(frame_value(n)))
            << "frame " << n;
        ASSERT_EQ(std::bit_cast<uint32_t>(samples[i + 1]), std::bit_cast<uint32_t>(-frame_value(n)))
            << "frame " << n;
    }
}

// A device that does not exist: the thread ends at once after one line on
// standard error, never calls the callback, writes nothing on standard
// output, and a later stop finds it ended.
TEST(AudioOutput, MissingDeviceEndsTheThreadWithOneLine) {
    AlsaDefault alsa;
    alsa.use("{ type hw card 29 device 0 }");
    reset_fill();
    test::FdCapture out;
    test::FdCapture err;
    ASSERT_TRUE(begin_capture(out, 1)) << out.error;
    ASSERT_TRUE(begin_capture(err, 2)) << err.error;

    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool ended = wait_until([&] { return audio_status(handle).phase == AudioPhase::ended; }, 10s);
    const AudioStatus status = audio_status(handle);
    const bool stopped = stop_audio(handle);
    const std::string out_text = end_capture(out);
    const std::string err_text = end_capture(err);

    EXPECT_TRUE(ended) << "the thread went on without a device";
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(status.device_opened);
    EXPECT_EQ(fill_calls, 0);
    EXPECT_EQ(out_text, "");
    const std::string prefix = "pluck: no sound: ";
    EXPECT_EQ(err_text.substr(0, prefix.size()), prefix) << "stderr: " << err_text;
    EXPECT_GT(err_text.size(), prefix.size() + 1) << "the line gives no reason";
    EXPECT_EQ(std::count(err_text.begin(), err_text.end(), '\n'), 1) << "stderr: " << err_text;
    EXPECT_EQ(err_text.back(), '\n');
}

// A quit request made while the thread is still opening the device (before
// it ever looks for one) is seen when it first looks: it plays its six
// buffers of silence, fills none, and ends. The device is a file device
// writing into a pipe, whose opening waits until the test reads the pipe.
TEST(AudioOutput, QuitBeforeTheThreadFirstLooksIsSeen) {
    AlsaDefault alsa;
    const std::string fifo = alsa.dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alsa.use_file_device(fifo);
    reset_fill();

    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    std::atomic<bool> stopping{false};
    bool stopped = false;
    std::thread stopper([&] {
        stopping = true;
        stopped = stop_audio(handle);
    });
    ASSERT_TRUE(wait_until([&] { return stopping.load(); }, 10s));
    std::this_thread::sleep_for(200ms);  // stop_audio's first step is the request

    const int reader = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    std::string played;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(reader, chunk, sizeof chunk)) > 0) {
        played.append(chunk, static_cast<size_t>(got));
    }
    close(reader);
    stopper.join();

    EXPECT_TRUE(stopped) << "stop_audio gave up waiting: the request was lost";
    EXPECT_EQ(fill_calls, 0);
    EXPECT_EQ(played, std::string(6 * 4096, '\0'));
}

}  // namespace
}  // namespace pluck
