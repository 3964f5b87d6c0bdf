// The private sound server every audio system test relies on: what is played
// to ALSA's "default" must come back from the recording bit for bit.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "tests/support/pulse_server.h"

namespace pluck {
namespace {

// The server may resample, convert or scale a stream whose format, rate or
// volume differ from its sink's. The fixture's sink is float32 stereo at
// 44.1 kHz and nothing changes the stream's full volume, so the frames must
// arrive unchanged: compared as bits.
TEST(PulseFixture, DefaultPcmReachesTheRecordingUnchanged) {
    test::PulseServer pulse;
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error;
    test::use_pulse_environment(pulse);
    ASSERT_TRUE(start_recording(pulse)) << pulse.error;

    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    ASSERT_EQ(err, 0) << snd_strerror(err);
    ASSERT_STREQ(snd_pcm_type_name(snd_pcm_type(pcm)), "IOPLUG") << "default is not the pulse plugin";
    err =
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, 44100, 0, 100000);
    ASSERT_EQ(err, 0) << snd_strerror(err);
    // A ramp with odd low bits, left positive and right negative.
    const int frames = 22050;
    std::vector<float> played(2 * frames);
    for (int i = 0; i < frames; ++i) {
        played[2 * i] = static_cast<float>(i + 1) * 0x1p-15f + 0x1p-24f;
        played[2 * i + 1] = -played[2 * i] * 0.75f;
    }
    ASSERT_EQ(snd_pcm_writei(pcm, played.data(), frames), frames);
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    ASSERT_TRUE(stop_recording(pulse)) << pulse.error;

    const std::vector<float> recorded = read_recording(pulse);
    size_t first = 0;
    while (first < recorded.size() && recorded[first] == 0.0f) {
        ++first;
    }
    ASSERT_EQ(first % 2, 0u) << "the recording's channels are swapped or shifted";
    ASSERT_GE(recorded.size() - first, played.size()) << "the recording lost the end of what was played";
    for (size_t i = 0; i < played.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(recorded[first + i]), std::bit_cast<uint32_t>(played[i]))
            << "sample " << i;
    }
}

// Stopping leaves nothing behind: no server process, no directory.
TEST(PulseFixture, StopEndsTheServerAndRemovesItsFiles) {
    test::PulseServer pulse;
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error;
    ASSERT_TRUE(start_recording(pulse)) << pulse.error;
    const pid_t server = pulse.server_pid;
    const pid_t recorder = pulse.recorder_pid;
    const std::string dir = pulse.dir;
    stop_pulse_server(pulse);
    EXPECT_NE(kill(server, 0), 0);
    EXPECT_NE(kill(recorder, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(dir));
    stop_pulse_server(pulse);  // a second stop is harmless
}

// A child forked by a test (to run a program, say) holds a copy of the
// fixture; stopping that copy must not stop the parent's server.
TEST(PulseFixture, ForkedCopyStopsNothing) {
    test::PulseServer pulse;
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        stop_pulse_server(pulse);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(kill(pulse.server_pid, 0), 0) << "the child stopped the server";
    EXPECT_TRUE(std::filesystem::exists(pulse.socket_path));
}

// The route to a server that is not there must fail to open, not fall back
// to some other device.
TEST(PulseFixture, UnreachableServerFailsToOpen) {
    test::PulseServer pulse;
    ASSERT_TRUE(prepare_unreachable_pulse(pulse)) << pulse.error;
    test::use_pulse_environment(pulse);
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    EXPECT_EQ(err, -ECONNREFUSED) << snd_strerror(err);
    if (err == 0) {
        snd_pcm_close(pcm);
    }
}

}  // namespace
}  // namespace pluck
