#include "system/job_control_linux.h"

#include <csignal>

#include "system/signal_handler_linux.h"

namespace pluck {

namespace {

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

void stop_process() {
    // The default action, this once.
    install_signal_handler(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    // Here again after `fg`.
    install_signal_handler(SIGTSTP, on_suspend_signal);
    continue_flag = 0;
    suspend_flag = 0;
}

}  // namespace pluck
