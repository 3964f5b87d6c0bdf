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
#include <iterator>
#include <string>
#include <thread>

#include "audio/audio_output.h"
#include "tests/support/numbered_fill.h"

namespace pluck {
namespace {

using namespace std::chrono_literals;
using test::numbered_fill;

// A callback that stalls for longer than the whole queue: the device runs
// dry, then playback goes on with every later buffer, nothing lost, and the
// queue at the stop plays out. Both as the server's ALSA device normally
// behaves (it plays silence while dry and reports nothing), and with the
// device reporting the underrun, which the thread must recover from.
TEST(AudioOutputPulse, PlaybackRecoversAfterAStalledCallback) {
    const char* path = std::getenv("PLUCK_RECORDING");
    ASSERT_NE(path, nullptr) << "run by test_sound_server.py, with a server";
    for (const bool report_underruns : {false, true}) {
        SCOPED_TRACE(report_underruns ? "underruns reported" : "underruns not reported");
        if (report_underruns) {
            const std::string config = std::filesystem::temp_directory_path() / "pluck-underruns.conf";
            std::ofstream(config) << "pcm.!default { type pulse handle_underrun true }\n";
            setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + config).c_str(), 1);
        }
        const auto start = static_cast<std::streamoff>(std::filesystem::file_size(path) / 8 * 8);
        test::reset_numbered_fill(40);
        AudioHandle handle = start_audio(test::numbering_fill);
        ASSERT_NE(handle, nullptr);
        EXPECT_TRUE(test::wait_until([&] { return numbered_fill.calls >= 200; }, 20s))
            << "the callback stopped";
        const AudioStatus status = audio_status(handle);
        EXPECT_TRUE(stop_audio(handle));
        std::this_thread::sleep_for(400ms);  // for the last frames to reach the recording
        EXPECT_EQ(status.phase, AudioPhase::playing);
        EXPECT_GE(status.underruns_recovered, report_underruns ? 1u : 0u);

        std::ifstream file(path, std::ios::binary);
        file.seekg(start);
        const test::NumberedStream stream = test::read_numbered({std::istreambuf_iterator<char>(file), {}});
        EXPECT_EQ(stream.fault, "");
        EXPECT_EQ(stream.frames, static_cast<uint32_t>(numbered_fill.calls) * 512) << "buffers lost";
        EXPECT_GE(stream.silent_runs, 1u) << "the stall should have been heard as a silence";
    }
}

}  // namespace
}  // namespace pluck
