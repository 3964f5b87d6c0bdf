"""What the measuring scripts share beside the tests' harness: which sound
servers to measure, and CPU time thread by thread."""
import os

from harness.pulse import SERVERS


def take_servers(args):
    """Takes `--server NAME[,NAME...]` (or `--server all`) out of a measuring
    script's arguments: the servers to measure one after the other,
    PulseAudio alone if not given."""
    names = ["pulseaudio"]
    if "--server" in args:
        k = args.index("--server")
        names = list(SERVERS) if args[k + 1] == "all" else args[k + 1].split(",")
        del args[k:k + 2]
    unknown = set(names) - set(SERVERS)
    if unknown:
        raise SystemExit("unknown server %s: one of %s, or all" % (", ".join(unknown), ", ".join(SERVERS)))
    return names


def thread_ids(pid):
    """The threads of process `pid`."""
    return [int(tid) for tid in os.listdir("/proc/%d/task" % pid)]


def thread_cpu_seconds(pid, tid):
    """User plus system time of thread `tid` of process `pid`."""
    with open("/proc/%d/task/%d/stat" % (pid, tid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
