"""CPU time as the kernel counts it, for a process or one of its threads."""
import os

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, tid=None):
    """User plus system time of process `pid` (all its threads), or of its thread `tid`."""
    path = "/proc/%d/task/%d/stat" % (pid, tid) if tid else "/proc/%d/stat" % pid
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def thread_ids(pid):
    """The threads of process `pid`, as the measuring scripts walk them."""
    return [int(tid) for tid in os.listdir("/proc/%d/task" % pid)]
