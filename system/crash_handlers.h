// The handlers that run the cleanup list when the program crashes (put in
// place by the list itself, with its first entry).
#pragma once

namespace pluck {

// Linux: the crash signals of system/ending_signals_linux.h (SEGV, BUS,
// FPE, ILL, ABRT, TRAP and SYS) run the list, then take their default
// course (a core dump) as if nothing had caught them.
// Windows: an exception nothing handles, and abort(), run the list, then
// end the program as they would have.
void catch_crashes();

}  // namespace pluck
