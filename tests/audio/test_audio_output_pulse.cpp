// The audio output thread playing to a private PulseAudio server through
// ALSA's "default" PCM, with the server's output recorded.
//
// What the server may change: the fixture's sink takes float32 stereo at
// 44.1 kHz, the thread's own format, and the stream plays at full volume, so
// the server passes every sample through unchanged (compared as bits). What
// it adds is silence: before the stream starts, after it ends, and while the
// stream has run dry.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"
#include "tests/support/pulse_server.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using test::numbered_fill;
using test::numbering_fill;
using test::wait_until;

// Starts the server and the recording and routes this process to them.
#define START_PULSE(pulse)                                 \
    test::PulseServer pulse;                               \
    ASSERT_TRUE(start_pulse_server(pulse)) << pulse.error; \
    test::use_pulse_environment(pulse);                    \
    ASSERT_TRUE(start_recording(pulse)) << pulse.error

// Plays until the callback has been called `calls` times, then stops; the
// recording of everything rendered, which includes the queue at the stop.
test::NumberedStream play_and_record(test::PulseServer& pulse, int calls, AudioStatus& status) {
    AudioHandle handle = start_audio(numbering_fill);
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(wait_until([&] { return numbered_fill.calls >= calls; }, 20s)) << "the callback stopped";
    status = audio_status(handle);
    EXPECT_TRUE(stop_audio(handle));
    const uint32_t rendered = static_cast<uint32_t>(numbered_fill.calls) * 512;
    EXPECT_TRUE(stop_recording(pulse)) << pulse.error;
    const test::NumberedStream stream = test::read_numbered(read_recording(pulse));
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.frames, rendered) << "rendered buffers were lost (at the end: the drain)";
    return stream;
}

// After the leading silence the numbered frames arrive in order, none
// missing, none twice, with no silence between them, up to the last one
// rendered before the stop.
TEST(AudioOutputPulse, FramesArriveInOrderWithoutGapsAndAllPlayOut) {
    START_PULSE(pulse);
    test::reset_numbered_fill();
    AudioStatus status;
    const test::NumberedStream stream = play_and_record(pulse, 130, status);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_EQ(status.granted.rate_hz, 44100u);
    EXPECT_EQ(status.granted.queue_frames, 3072u) << "buffer granted: " << status.granted.buffer_frames;
    EXPECT_EQ(stream.silent_runs, 0u);
    EXPECT_GE(stream.leading_silence, 6u * 512) << "the six buffers of silence come first";

    // The fixture leaves no server, recorder or files behind.
    ASSERT_TRUE(start_recording(pulse)) << pulse.error;
    const pid_t server = pulse.server_pid;
    const pid_t recorder = pulse.recorder_pid;
    const std::string dir = pulse.dir;
    stop_pulse_server(pulse);
    EXPECT_NE(kill(server, 0), 0) << "the server outlived its fixture";
    EXPECT_NE(kill(recorder, 0), 0) << "the recorder outlived its fixture";
    EXPECT_FALSE(std::filesystem::exists(dir));
}

// A callback that stalls for longer than the whole queue: the device runs
// dry, then playback goes on with every later buffer, nothing lost. Both as
// the server's ALSA device normally behaves (it plays silence while dry and
// reports nothing), and with the device reporting the underrun, which the
// thread must recover from.
TEST(AudioOutputPulse, PlaybackRecoversAfterAStalledCallback) {
    for (const bool report_underruns : {false, true}) {
        SCOPED_TRACE(report_underruns ? "underruns reported" : "underruns not reported");
        START_PULSE(pulse);
        if (report_underruns) {
            const std::string config = pulse.dir + "/underruns.conf";
            std::ofstream(config) << "pcm.!default { type pulse handle_underrun true }\n";
            setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + config).c_str(), 1);
        }
        test::reset_numbered_fill(40);
        AudioStatus status;
        const test::NumberedStream stream = play_and_record(pulse, 200, status);
        EXPECT_EQ(status.phase, AudioPhase::playing);
        if (report_underruns) {
            EXPECT_GE(status.underruns_recovered, 1u);
        }
        EXPECT_GE(stream.silent_runs, 1u) << "the stall should have been heard as a silence";
    }
}

}  // namespace
}  // namespace pluck
