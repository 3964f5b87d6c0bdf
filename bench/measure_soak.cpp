// Soak: the whole live instrument but its terminal, with Space held for a
// long time. The main loop reads a pipe fed with a Space byte every 30 ms (a
// keyboard repeating Space), the auto-play plays, the audio thread renders
// to the default device; at the end the device's underruns are counted. Not
// a test: prints figures.
//   measure_soak [SECONDS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "audio/audio_output.h"
#include "engine/render.h"
#include "keys/key_decoder.h"
#include "keys/terminal.h"
#include "play/auto_play.h"
#include "pluck/main_loop_linux.h"

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    pluck::AudioHandle audio = pluck::start_audio(pluck::render_audio);
    if (audio == nullptr) {
        std::fprintf(stderr, "measure_soak: the audio thread did not start\n");
        return 1;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    // The device's pace once it runs: buffers filled from 5 s in to the end.
    const auto settled_at = start + std::chrono::seconds(5);
    uint64_t settled_buffers = 0;
    std::thread keyboard([&] {
        const auto end = start + std::chrono::seconds(seconds);
        bool settled = false;
        while (std::chrono::steady_clock::now() < end) {
            if (!settled && std::chrono::steady_clock::now() >= settled_at) {
                settled = true;
                settled_buffers = pluck::audio_status(audio).buffers_filled;
            }
            (void)!write(fds[1], " ", 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        close(fds[1]);  // the end of input quits
    });
    pluck::KeyDecoder decoder;
    pluck::Terminal terminal;
    pluck::open_terminal(terminal, fds[0], decoder, nullptr);
    pluck::run_main_loop(terminal, decoder);
    keyboard.join();
    const double ran_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const pluck::AudioStatus status = pluck::audio_status(audio);
    pluck::stop_audio(audio);
    const double settled_s = ran_s - 5;
    const double frames_per_s =
        static_cast<double>(status.buffers_filled - settled_buffers) * pluck::buffer_frames / settled_s;
    std::printf(
        "soak %.1f s: device opened %s, buffers filled %llu (%.0f expected), underruns %u, auto-play beats "
        "%d, "
        "device pace after the first 5 s %.0f frames/s\n",
        ran_s, status.device_opened ? "yes" : "NO", static_cast<unsigned long long>(status.buffers_filled),
        ran_s * pluck::sample_rate_hz / pluck::buffer_frames, status.underruns_recovered,
        pluck::auto_play.beat_count - 1, frames_per_s);
    return status.device_opened ? 0 : 1;
}
