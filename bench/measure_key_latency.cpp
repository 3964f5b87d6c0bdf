// Measures the time from a note key's byte reaching the terminal to its
// pluck: the main loop runs on one side of a pseudo-terminal (raw mode, as
// the program runs it) while this side types keys and watches the noise
// generator, which moves at the pluck itself. Not a test: prints figures.
//   measure_key_latency [PRESSES]
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "engine/synth_state.h"
#include "keys/key_decoder.h"
#include "keys/terminal.h"
#include "pluck/main_loop_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

// The generator's first word, read while the loop thread may write it: a
// measurement, so a plain relaxed load of the aligned word is enough.
int32_t noise_word() {
    return std::atomic_ref<int32_t>(pluck::synth.noise.s0).load(std::memory_order_relaxed);
}

// Reads and drops what the loop side writes, for `ms`.
void pump(int master, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        char buffer[1024];
        if (poll(&p, 1, 5) > 0) {
            (void)!read(master, buffer, sizeof buffer);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int presses = argc > 1 ? std::atoi(argv[1]) : 200;
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    pluck::KeyDecoder decoder;
    pluck::Terminal terminal;
    // A terminal that takes no escape codes: raw mode and the same key
    // reading, with no query to answer first.
    pluck::open_terminal(terminal, slave, decoder, "dumb");
    std::thread loop([&] {
        pluck::run_main_loop(terminal, decoder);
        pluck::close_terminal(terminal);
    });

    const char keys[] = "zxcvbnmk";
    std::vector<double> latencies_us;
    for (int i = 0; i < presses; ++i) {
        pump(master, 20);  // the loop is idle, waiting on the keyboard
        const int32_t before = noise_word();
        const auto typed = Clock::now();
        (void)!write(master, &keys[i % 8], 1);
        while (noise_word() == before) {
            if (Clock::now() - typed > std::chrono::seconds(1)) {
                std::fprintf(stderr, "no pluck within 1 s of key %d\n", i);
                return 1;
            }
        }
        latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - typed).count());
    }
    (void)!write(master, "\x03", 1);
    loop.join();
    close(master);
    close(slave);

    std::sort(latencies_us.begin(), latencies_us.end());
    const auto at = [&](double q) {
        return latencies_us[static_cast<size_t>(q * (latencies_us.size() - 1))];
    };
    std::printf("key byte to pluck, %d presses: median %.0f us, 90%% %.0f us, 99%% %.0f us, max %.0f us\n",
                presses, at(0.5), at(0.9), at(0.99), latencies_us.back());
    return 0;
}
