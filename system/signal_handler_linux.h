// How system/ puts a signal handler in place on Linux.
#pragma once

#include <signal.h>

namespace pluck {

// `handler` for `signal_number`, with `flags`; none by default, and no
// SA_RESTART in particular: a wait in progress returns at once and sees the
// signal.
inline void install_signal_handler(int signal_number, void (*handler)(int), int flags = 0) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

}  // namespace pluck
