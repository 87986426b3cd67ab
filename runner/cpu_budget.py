#!/usr/bin/python3
"""Runs a command, and ends it with status 1 once it and the processes it
started have used more than SECONDS of CPU time between them, or once none
of them has run or waited to run for ten minutes (a stall). Work that yields
the CPU to everything else takes as long as the machine is busy: a limit on
its wall-clock time fails it by the machine's load, these do not.
    runner/cpu_budget.py SECONDS COMMAND [ARGUMENT...]"""
import os
import signal
import subprocess
import sys
import time

STALL_SECONDS = 600


def group_usage(group):
    """The CPU seconds the group's processes have used (each with the children
    it has waited for), and whether any of them is running or waiting to run."""
    used, runnable = 0.0, False
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue  # gone meanwhile
        # After the name: state, parent, group, ... utime, stime, cutime, cstime.
        if int(fields[2]) == group:
            used += sum(map(int, fields[11:15])) / os.sysconf("SC_CLK_TCK")
            runnable |= fields[0] == "R"
    return used, runnable


def main(seconds, command):
    # A process group of its own, but the same session: a session would be a
    # scheduling group of its own, taking a fair share from the tests beside it.
    child = subprocess.Popen(command, process_group=0)
    for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # which the group would not see
        signal.signal(stop, lambda number, _: (os.killpg(child.pid, signal.SIGKILL), os._exit(128 + number)))
    used, stalled = 0.0, 0
    while child.poll() is None:
        time.sleep(1)
        now, runnable = group_usage(child.pid)
        stalled = 0 if runnable or now > used else stalled + 1
        used = max(used, now)
        why = (f"used more than {seconds:g} s of CPU time" if used > seconds else
               f"neither ran nor waited to run for {STALL_SECONDS} s" if stalled >= STALL_SECONDS else "")
        if why and child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            print(f"{command[0]}: {why}: ended", file=sys.stderr)
            return 1
    return child.returncode if child.returncode >= 0 else 128 - child.returncode


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__.split("\n")[-1].strip())
    sys.exit(main(float(sys.argv[1]), sys.argv[2:]))
