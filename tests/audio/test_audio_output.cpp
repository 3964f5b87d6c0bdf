// The audio output thread against real ALSA devices that need no sound
// server: a file device (every frame it is given lands in a file, with no
// clock of its own) and a device that does not exist.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using test::numbered_fill;
using test::numbering_fill;
using test::wait_until;

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
    test::reset_numbered_fill(-1, 1);  // the file device would take frames as fast as they come
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(wait_until([&] { return numbered_fill.calls >= 60; }, 10s)) << "the callback was not called";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_TRUE(status.device_opened);
    EXPECT_EQ(status.granted.period_frames, 512u);
    EXPECT_EQ(status.granted.buffer_frames, 3072u);
    EXPECT_EQ(status.granted.queue_frames, 3072u);
    ASSERT_TRUE(stop_audio(handle));

    const int calls = numbered_fill.calls;
    ASSERT_LT(calls, test::max_recorded_calls);
    EXPECT_EQ(numbered_fill.wrong_sizes, 0) << "every buffer is 512 frames";
    std::vector<void*> first_six(numbered_fill.buffers, numbered_fill.buffers + 6);
    std::sort(first_six.begin(), first_six.end());
    EXPECT_EQ(std::unique(first_six.begin(), first_six.end()), first_six.end()) << "six distinct buffers";
    for (int i = 6; i < calls; ++i) {
        ASSERT_EQ(numbered_fill.buffers[i], numbered_fill.buffers[i - 6])
            << "call " << i << " is out of ring order";
    }

    std::ifstream in(out, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), (6u + calls) * 4096u) << "the device got every buffer filled, once";
    std::vector<float> samples(bytes.size() / 4);
    std::memcpy(samples.data(), bytes.data(), bytes.size());
    const test::NumberedStream stream = test::read_numbered(samples);
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.leading_silence, 6u * 512);
    EXPECT_EQ(stream.frames, calls * 512u);
}

// A device that does not exist: the thread ends at once after one line on
// standard error, never calls the callback, writes nothing on standard
// output, and a later stop finds it ended.
TEST(AudioOutput, MissingDeviceEndsTheThreadWithOneLine) {
    AlsaDefault alsa;
    alsa.use("{ type hw card 29 device 0 }");
    test::reset_numbered_fill();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    ASSERT_NE(handle, nullptr);
    const bool ended = wait_until([&] { return audio_status(handle).phase == AudioPhase::ended; }, 10s);
    const bool opened = audio_status(handle).device_opened;
    const bool stopped = stop_audio(handle);
    const std::string out_text = testing::internal::GetCapturedStdout();
    const std::string err_text = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(ended) << "the thread went on without a device";
    EXPECT_TRUE(stopped);
    EXPECT_FALSE(opened);
    EXPECT_EQ(numbered_fill.calls, 0);
    EXPECT_EQ(out_text, "");
    EXPECT_EQ(err_text, "pluck: no sound: No such file or directory\n");
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
    test::reset_numbered_fill();
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
    for (ssize_t got = 0; (got = read(reader, chunk, sizeof chunk)) > 0;) {
        played.append(chunk, static_cast<size_t>(got));
    }
    close(reader);
    stopper.join();

    EXPECT_TRUE(stopped) << "stop_audio gave up waiting: the request was lost";
    EXPECT_EQ(numbered_fill.calls, 0);
    EXPECT_EQ(played, std::string(6 * 4096, '\0'));
}

}  // namespace
}  // namespace pluck
