"""CPU time as the kernel counts it for a process."""
import os


def cpu_seconds(pid):
    """User plus system time of process `pid`, all its threads."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
