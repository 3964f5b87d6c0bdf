// The audio output thread against real ALSA devices that need no sound
// server: a file device (every frame it is given lands in a file, with no
// clock of its own), devices that cannot play, and an open that hangs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::numbered_fill;
using test::numbering_fill;
using test::wait_until;

// A directory of the test's own, and an ALSA configuration in it whose
// "default" is the given device, or a file device writing to the given name
// in the directory; the process uses it until the test ends. The
// configuration is the whole of it: the system's own would run its hooks
// (which look for a running PulseAudio server and load its libraries) on the
// thread that opens devices, which a test may leave behind.
struct AlsaDefault {
    std::string dir;

    explicit AlsaDefault(const std::string& definition) {
        char pattern[] = "/tmp/pluck-alsa-XXXXXX";
        dir = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
        const std::string file_device =
            "{ type file slave.pcm { type null } file \"" + dir + "/" + definition + "\" format \"raw\" }";
        std::ofstream(dir + "/asound.conf")
            << "pcm.!default " << (definition[0] == '{' ? definition : file_device);
        setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
    }
    ~AlsaDefault() {
        unsetenv("ALSA_CONFIG_PATH");
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // What the device wrote into `name`, once it has closed it. On a pipe,
    // a device's open waits until this starts reading, as an open waits on
    // a sound server that does not answer.
    std::string played(const std::string& name) const {
        std::ifstream file(dir + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
};

// The device gets the ring of silence, then every buffer the callback
// fills, each exactly once and in order, and the queue plays out at the
// stop: the file holds the whole stream. The file device would take frames
// as fast as they come: after a start, they are made no faster than real
// time. The ring is
// laid out as the settings ask (as --latency chooses), and a stop asked for
// before the thread has looked is still seen.
class Ring : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Ring, SilenceThenEveryBufferInOrder) {
    const auto [ring, frames] = GetParam();
    AlsaDefault alsa("out.raw");
    AudioSettings settings;
    settings.ring_buffers = ring;
    settings.buffer_frames = frames;
    test::reset_numbered_fill();
    AudioHandle handle = start_audio(numbering_fill, settings);
    ASSERT_TRUE(wait_until([&] { return numbered_fill.calls >= 60; }, 10s)) << "the callback was not called";
    std::this_thread::sleep_for(300ms);  // past the first 250 ms, which a device may take at once
    const auto since = Clock::now();
    const int calls_then = numbered_fill.calls;
    std::this_thread::sleep_for(500ms);
    const double frames_due = std::chrono::duration<double>(Clock::now() - since).count() * 44100;
    EXPECT_LE((numbered_fill.calls - calls_then - 2) * frames, frames_due) << "faster than real time";
    const AudioStatus status = audio_status(handle);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_EQ(status.granted.buffer_frames, static_cast<uint32_t>(frames));
    EXPECT_EQ(status.granted.queue_frames, static_cast<uint32_t>(ring * frames));
    ASSERT_TRUE(stop_audio(handle));

    const std::string bytes = alsa.played("out.raw");
    const test::NumberedStream stream = test::read_numbered(bytes);
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.leading_silence, static_cast<uint32_t>(ring * frames));
    EXPECT_EQ(stream.frames, static_cast<uint32_t>(numbered_fill.calls * frames));
    EXPECT_EQ(bytes.size(), (stream.leading_silence + stream.frames) * 8) << "silence after the last buffer";

    for (int round = 0; round < 3; ++round) {
        const auto before = Clock::now();
        EXPECT_TRUE(stop_audio(start_audio(numbering_fill, settings)));
        EXPECT_LT(Clock::now() - before, 4s);  // not the 5 s a lost stop request waits
    }
}

INSTANTIATE_TEST_SUITE_P(AudioOutput, Ring, testing::Values(std::pair{6, 512}, std::pair{3, 128}));

// Devices that cannot play: each is said in one line that names the device
// and what to check, once, though the thread tries again every second (an
// open that hangs, as on a sound server that does not answer, is said after
// a second). In the meantime the callback runs at the pace the device
// would have taken buffers (not paused, not spinning), and a stop ends it at
// once, even while the open still hangs: nothing was played, nothing is owed.
struct Unplayable {
    const char* name;
    const char* definition;  // a device, or a file device's file: a pipe nothing reads
    uint32_t open_attempts;  // within a second of saying so
    const char* said;
};

void PrintTo(const Unplayable& device, std::ostream* out) {
    *out << device.definition;
}

class NoDevice : public testing::TestWithParam<Unplayable> {};

TEST_P(NoDevice, SaidOnceWhileTimeRunsOn) {
    const Unplayable& device = GetParam();
    AlsaDefault alsa(device.definition);
    ASSERT_TRUE(device.definition[0] == '{' || mkfifo((alsa.dir + "/pipe").c_str(), 0600) == 0);
    test::reset_numbered_fill();
    testing::internal::CaptureStderr();
    AudioHandle handle = start_audio(numbering_fill);
    EXPECT_TRUE(wait_until([&] { return audio_status(handle).phase == AudioPhase::no_device; }, 10s));
    const auto since = Clock::now();
    const int calls_then = numbered_fill.calls;
    EXPECT_TRUE(wait_until([&] { return audio_status(handle).open_attempts >= device.open_attempts; }, 10s))
        << "it gave up";
    std::this_thread::sleep_until(since + 1s);
    const double blocks_due = std::chrono::duration<double>(Clock::now() - since).count() * 44100 / 512;
    const int calls = numbered_fill.calls - calls_then;
    EXPECT_EQ(audio_status(handle).devices_opened, 0u);
    const auto stopping = Clock::now();
    EXPECT_TRUE(stop_audio(handle));
    EXPECT_LT(Clock::now() - stopping, 4s);  // not waiting out the open
    EXPECT_EQ(testing::internal::GetCapturedStderr(), device.said);
    EXPECT_GT(calls, blocks_due / 2) << "time stood still without a device";
    EXPECT_LT(calls, blocks_due * 3 / 2) << "faster than a device would take buffers";
    if (device.definition[0] != '{') {
        EXPECT_EQ(alsa.played("pipe"), "");  // which lets the open come back
    }
}

INSTANTIATE_TEST_SUITE_P(
    AudioOutput, NoDevice,
    testing::Values(
        Unplayable{"MissingCard", "{ type hw card 29 device 0 }", 2,
                   "pluck: no sound: no ALSA device \"default\" (No such file or directory), trying "
                   "again each second; is the sound card connected, and is that its name?\n"},
        Unplayable{"NoFloatFormat", "{ type linear slave { pcm { type null } format S16_LE } }", 2,
                   "pluck: no sound: ALSA device \"default\" cannot play 44.1 kHz stereo float samples "
                   "(Invalid argument), trying again each second; does its ALSA definition convert "
                   "formats?\n"},
        Unplayable{"OpenHangs", "pipe", 0,
                   "pluck: no sound: the sound server does not answer on ALSA device \"default\", still "
                   "waiting; is it stopped or stuck?\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pluck
