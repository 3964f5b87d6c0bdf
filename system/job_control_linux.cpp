#include "system/job_control_linux.h"

#include <unistd.h>

#include <csignal>
#include <ctime>

#include "system/signal_handler_linux.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

// How long a process continued in the background looks for a stop signal
// before it stops again.
constexpr int signal_grace_ms = 100;

volatile std::sig_atomic_t suspend_flag = 0;
volatile std::sig_atomic_t continue_flag = 0;

void on_suspend_signal(int) {
    suspend_flag = 1;
}

void on_continue_signal(int) {
    continue_flag = 1;
}

}  // namespace

void catch_job_control_signals() {
    install_signal_handler(SIGTSTP, on_suspend_signal);
    install_signal_handler(SIGCONT, on_continue_signal);
}

bool take_suspend_signal() {
    const bool seen = suspend_flag != 0;
    suspend_flag = 0;
    return seen;
}

bool take_continue_signal() {
    const bool seen = continue_flag != 0;
    continue_flag = 0;
    return seen;
}

bool stop_process() {
    continue_flag = 0;
    // The default action, this once.
    install_signal_handler(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    // Here again once continued (or at once, if the stop was discarded).
    install_signal_handler(SIGTSTP, on_suspend_signal);
    const bool continued = continue_flag != 0;
    continue_flag = 0;
    suspend_flag = 0;
    return continued;
}

bool owns_terminal(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    return foreground <= 0 || foreground == getpgrp();
}

bool wait_for_foreground(int fd) {
    for (;;) {
        if (stop_signal() != 0) {
            return false;
        }
        if (owns_terminal(fd)) {
            return true;
        }
        // A `kill` that continues a stopped job sends its signal first, but
        // another thread may take it and run the handler a moment after
        // this one is continued: the signal is given that long to show.
        for (int ms = 0; ms < signal_grace_ms && stop_signal() == 0; ++ms) {
            const timespec one_ms{0, 1000000};
            nanosleep(&one_ms, nullptr);
        }
        if (stop_signal() != 0 || !stop_process()) {
            return false;
        }
    }
}

}  // namespace pluck
