// Every signal whose default action ends the process, and what the two
// programs make of each: the one table that system/'s handlers are put in
// place from. A signal not here either does nothing by default, stops or
// continues the process (job control), or cannot be caught (KILL).
#pragma once

#include <signal.h>

namespace pluck {

enum class Ending : unsigned char {
    // Asked to end from outside (Ctrl-C on a cooked terminal, kill, the
    // terminal hung up): pluck quits as on Escape, keeping its take;
    // pluck-render stops between chunks.
    quit,
    // Sent by a limit, a timer or a program: pluck-render stops as on a
    // quit signal; pluck undoes what the cleanup list holds, then ends by
    // the signal.
    stop,
    // A fault, or abort(): the cleanup list runs, then the signal takes its
    // default course (a core file where the limits allow).
    crash,
    // A write into a closed pipe, or past the file-size limit, fails and is
    // reported instead of ending the process.
    ignored,
};

struct EndingSignal {
    int number;
    Ending ending;
};

inline constexpr EndingSignal ending_signals[] = {
    {SIGHUP, Ending::quit},     {SIGINT, Ending::quit},    {SIGTERM, Ending::quit},
    {SIGQUIT, Ending::stop},    {SIGUSR1, Ending::stop},   {SIGUSR2, Ending::stop},
    {SIGALRM, Ending::stop},    {SIGSTKFLT, Ending::stop}, {SIGXCPU, Ending::stop},
    {SIGVTALRM, Ending::stop},  {SIGPROF, Ending::stop},   {SIGIO, Ending::stop},
    {SIGPWR, Ending::stop},     {SIGILL, Ending::crash},   {SIGTRAP, Ending::crash},
    {SIGABRT, Ending::crash},   {SIGBUS, Ending::crash},   {SIGFPE, Ending::crash},
    {SIGSEGV, Ending::crash},   {SIGSYS, Ending::crash},   {SIGPIPE, Ending::ignored},
    {SIGXFSZ, Ending::ignored},
};

// Calls `f(number)` for each signal of the table that ends as `ending`.
template <typename F>
void for_each_ending_signal(Ending ending, F f) {
    for (const EndingSignal& s : ending_signals) {
        if (s.ending == ending) {
            f(s.number);
        }
    }
}

}  // namespace pluck
