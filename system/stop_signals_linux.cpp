#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "system/cleanup.h"
#include "system/signal_handler_linux.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
// Of those, the ones the live instrument quits on as on Escape.
constexpr int quit_signals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t caught_stop_signal = 0;
std::atomic<bool> quit_flag{false};
// A pipe the handler writes a byte into: a wait that watches its read end
// cannot miss a signal that comes just before the wait begins.
int wake_pipe[2] = {-1, -1};

void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    caught_stop_signal = signal_number;
    quit_flag.store(true, std::memory_order_release);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
    errno = saved_errno;
}

// Runs the cleanup list, then lets the signal do what it does by default:
// raised again, it is delivered as the handler returns.
void on_ending_signal(int signal_number) {
    run_cleanups();
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void on_quit_signal(int signal_number) {
    if (quit_flag.load(std::memory_order_acquire)) {
        on_ending_signal(signal_number);
        return;
    }
    on_stop_signal(signal_number);
}

bool ignored_at_start(int signal_number) {
    struct sigaction before {};
    return sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
}

bool is_quit_signal(int signal_number) {
    for (int s : quit_signals) {
        if (s == signal_number) {
            return true;
        }
    }
    return false;
}

}  // namespace

void catch_stop_signals() {
    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
    for (int signal_number : stop_signals) {
        if (!ignored_at_start(signal_number)) {
            install_signal_handler(signal_number, on_stop_signal);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

const std::atomic<bool>& catch_quit_signals() {
    for (int signal_number : stop_signals) {
        // A quit signal is taken even by a program started with it
        // ignored: it is how a player's session is ended from outside.
        if (is_quit_signal(signal_number)) {
            install_signal_handler(signal_number, on_quit_signal);
        } else if (!ignored_at_start(signal_number)) {
            install_signal_handler(signal_number, on_ending_signal);
        }
    }
    return quit_flag;
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
