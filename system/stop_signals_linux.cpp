#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "system/stop_signals.h"

namespace pluck {

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

volatile std::sig_atomic_t caught_stop_signal = 0;
// A pipe the handler writes a byte into: a wait that watches its read end
// cannot miss a signal that comes just before the wait begins.
int wake_pipe[2] = {-1, -1};

void on_stop_signal(int signal_number) {
    caught_stop_signal = signal_number;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
}

}  // namespace

void catch_stop_signals() {
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait for more of the score returns at once.
    action.sa_flags = 0;
    for (int signal_number : stop_signals) {
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

int stop_signal() {
    return caught_stop_signal;
}

int stop_signal_fd() {
    return wake_pipe[0];
}

void end_by_stop_signal() {
    const int signal_number = caught_stop_signal;
    if (signal_number == SIGQUIT) {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
    }
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    std::_Exit(128 + signal_number);
}

}  // namespace pluck
