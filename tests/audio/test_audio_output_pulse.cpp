// The audio output thread playing to a PulseAudio server through ALSA's
// "default" PCM. test_sound_server.py runs it against the private server of
// tests/harness/pulse.py, whose sink it records into PLUCK_RECORDING.
//
// What the server may change: its sink takes float32 stereo at 44.1 kHz, the
// thread's own format, and the stream plays at full volume, so every sample
// passes through unchanged (compared as bits). What it adds is silence:
// before the stream starts, after it ends, and while the stream has run dry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using test::numbered_fill;

// Plays until the callback has been called `calls` times, then stops; what
// the server played meanwhile, which must be everything rendered, the
// queue at the stop included.
test::NumberedStream play_and_record(int calls, AudioStatus& status) {
    const char* path = std::getenv("PLUCK_RECORDING");
    EXPECT_NE(path, nullptr) << "run by test_sound_server.py, with a server";
    const auto start = static_cast<std::streamoff>(std::filesystem::file_size(path) / 8 * 8);
    AudioHandle handle = start_audio(test::numbering_fill);
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(test::wait_until([&] { return numbered_fill.calls >= calls; }, 20s))
        << "the callback stopped";
    status = audio_status(handle);
    EXPECT_TRUE(stop_audio(handle));
    std::this_thread::sleep_for(400ms);  // for the last frames to reach the recording
    std::ifstream file(path, std::ios::binary);
    file.seekg(start);
    std::vector<float> frames(static_cast<size_t>(std::filesystem::file_size(path) - start) / 8 * 2);
    file.read(reinterpret_cast<char*>(frames.data()), static_cast<std::streamsize>(frames.size() * 4));
    const test::NumberedStream stream = test::read_numbered(frames);
    EXPECT_EQ(stream.fault, "");
    EXPECT_EQ(stream.frames, static_cast<uint32_t>(numbered_fill.calls) * 512)
        << "buffers lost (at the end: the drain)";
    return stream;
}

// The numbered frames arrive in order, none missing, none twice, with no
// silence between them, after the ring of silence that starts the stream.
TEST(AudioOutputPulse, FramesArriveInOrderWithoutGapsAndAllPlayOut) {
    test::reset_numbered_fill();
    AudioStatus status;
    const test::NumberedStream stream = play_and_record(130, status);
    EXPECT_EQ(status.phase, AudioPhase::playing);
    EXPECT_EQ(status.granted.rate_hz, 44100u);
    EXPECT_EQ(status.granted.queue_frames, 3072u) << "buffer granted: " << status.granted.buffer_frames;
    EXPECT_EQ(stream.silent_runs, 0u);
    EXPECT_GE(stream.leading_silence, 6u * 512);
}

// A callback that stalls for longer than the whole queue: the device runs
// dry, then playback goes on with every later buffer, nothing lost. Both as
// the server's ALSA device normally behaves (it plays silence while dry and
// reports nothing), and with the device reporting the underrun, which the
// thread must recover from.
TEST(AudioOutputPulse, PlaybackRecoversAfterAStalledCallback) {
    for (const bool report_underruns : {false, true}) {
        SCOPED_TRACE(report_underruns ? "underruns reported" : "underruns not reported");
        if (report_underruns) {
            const std::string config = std::filesystem::temp_directory_path() / "pluck-underruns.conf";
            std::ofstream(config) << "pcm.!default { type pulse handle_underrun true }\n";
            setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + config).c_str(), 1);
        }
        test::reset_numbered_fill(40);
        AudioStatus status;
        const test::NumberedStream stream = play_and_record(200, status);
        EXPECT_EQ(status.phase, AudioPhase::playing);
        EXPECT_GE(status.underruns_recovered, report_underruns ? 1u : 0u);
        EXPECT_GE(stream.silent_runs, 1u) << "the stall should have been heard as a silence";
    }
}

}  // namespace
}  // namespace pluck
