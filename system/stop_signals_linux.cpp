#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "system/cleanup.h"
#include "system/crash_handlers.h"
#include "system/ending_signals_linux.h"
#include "system/signal_handler_linux.h"
#include "system/stop_signals.h"

namespace pluck {

namespace {

volatile std::sig_atomic_t caught_stop_signal = 0;
std::atomic<bool> quit_flag{false};
std::atomic<int> requests{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler counts the requests");
// A pipe the handler writes a byte into: a wait that watches its read end
// cannot miss a signal that comes just before the wait begins.
int wake_pipe[2] = {-1, -1};

// Any number of these may come, together or one after another (closing a
// terminal window brings a hang-up from the shell and another from the
// system): each only asks again, and the program ends once, by itself.
void on_stop_signal(int signal_number) {
    const int saved_errno = errno;
    if (caught_stop_signal == 0) {
        caught_stop_signal = signal_number;
    }
    requests.fetch_add(1, std::memory_order_relaxed);
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

bool ignored_at_start(int signal_number) {
    struct sigaction before {};
    return sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN;
}

void open_wake_pipe() {
    if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_pipe[0] = wake_pipe[1] = -1;
    }
}

// `handler` for the signals that end as `ending`, but for those ignored when
// the program started (as in a background job a script starts).
void catch_unless_ignored(Ending ending, void (*handler)(int)) {
    for_each_ending_signal(ending, [handler](int signal_number) {
        if (!ignored_at_start(signal_number)) {
            install_signal_handler(signal_number, handler);
        }
    });
}

void ignore_failed_writes() {
    for_each_ending_signal(Ending::ignored, [](int signal_number) { signal(signal_number, SIG_IGN); });
}

}  // namespace

void catch_stop_signals() {
    // Before any file is made: a crash between its making and its entry on
    // the cleanup list must not leave it.
    catch_crashes();
    open_wake_pipe();
    catch_unless_ignored(Ending::quit, on_stop_signal);
    catch_unless_ignored(Ending::stop, on_stop_signal);
    ignore_failed_writes();
}

const std::atomic<bool>& catch_quit_signals() {
    catch_crashes();
    // A quit signal is taken even by a program started with it ignored: it
    // is how a player's session is ended from outside.
    for_each_ending_signal(Ending::quit,
                           [](int signal_number) { install_signal_handler(signal_number, on_stop_signal); });
    catch_unless_ignored(Ending::stop, on_ending_signal);
    ignore_failed_writes();
    return quit_flag;
}

int stop_signal() {
    return caught_stop_signal;
}

int stop_requests() {
    return requests.load(std::memory_order_relaxed);
}

int stop_signal_fd() {
    return wake_pipe[0];
}

void end_by_stop_signal() {
    const int signal_number = caught_stop_signal;
    // No core file for QUIT or XCPU: a stopped render is no crash.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    std::_Exit(128 + signal_number);
}

}  // namespace pluck
