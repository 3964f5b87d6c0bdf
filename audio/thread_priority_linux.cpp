#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "audio/thread_priority.h"

namespace pluck {
namespace {

// The real-time priority asked for: above ordinary threads and below the
// sound server's own (PipeWire's and PulseAudio's run at 20 and 5 under
// rtkit, which grants at most 20).
constexpr int realtime_priority = 10;
// Else the nice value asked for: as PulseAudio's own threads run.
constexpr int raised_nice = -11;

}  // namespace

// Real-time scheduling where the system allows it (root, rtkit's limits,
// or RLIMIT_RTPRIO from limits.conf), else a lower nice value where that
// is allowed (RLIMIT_NICE), else the thread stays as it was: an ordinary
// user usually may do neither.
ThreadPriority raise_thread_priority() {
    const int most = sched_get_priority_max(SCHED_FIFO);
    sched_param param{};
    param.sched_priority = std::min(realtime_priority, most);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
        return ThreadPriority::realtime;
    }
    // Under a limit below ours (rtkit-style set-ups grant a few levels).
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, param.sched_priority));
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
            return ThreadPriority::realtime;
        }
    }
    // On Linux a nice value belongs to the thread, named by its id.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), raised_nice) == 0) {
        return ThreadPriority::nice;
    }
    return ThreadPriority::ordinary;
}

// As top -H and /proc show it.
void name_this_thread(const char* name) {
    pthread_setname_np(pthread_self(), name);
}

}  // namespace pluck
