"""Renderer restart: how fast the console comes back after its renderer process
is killed (bench/run --only restart).

The shell is started as for start-up; after the page's first load the console's
renderer is killed (SIGKILL) several times, each time measured from the kill to
the next load report. The program stops reloading after 3 renderer ends within a
minute, so kills are paced: each comes at least 61 s after the one before the
previous one (about two minutes for 5 kills).
"""

import os
import signal
import time

from common import Hung, harness, log, now
from launch import Launch

RATE_WINDOW = 61.0  # seconds; the program's limit is 3 ends within 60 s


def _stat_and_args(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read()  # a renderer may rewrite it as one string
        with open("/proc/%d/statm" % pid) as f:
            resident = int(f.read().split()[1])
    except OSError:
        return None
    return int(stat[stat.rindex(")") + 2:].split()[1]), args, resident


def console_renderer(program_pid, timeout, step):
    """The console's renderer: the program's only renderer until the pop-up is
    used; should the engine keep a spare one, the one that holds the page is the
    larger. A renderer forked by the engine's zygote may keep the zygote's
    command line (--type=zygote), so a zygote's child counts as one too."""
    deadline = now() + timeout
    while now() < deadline:
        procs = {pid: info for pid in harness.tree(program_pid)
                 if (info := _stat_and_args(pid)) is not None}
        renderers = [(resident, pid) for pid, (ppid, args, resident) in procs.items()
                     if b"--type=renderer" in args or (
                         b"--type=zygote" in args and ppid in procs
                         and b"--type=zygote" in procs[ppid][1])]
        if renderers:
            return max(renderers)[1]
        time.sleep(0.02)
    raise Hung("the console's renderer process to show, before " + step, timeout)


def measure(bench, shell, kills, timeout=30.0):
    """Start-up (ms) and each kill to load (ms) in one start of the shell."""
    launch = Launch(bench, "shell", bench.next_run(shell.key + "-restart"), "start",
                    shell.binary)
    try:
        launch.start()
        startup = launch.wait_loaded()
        restarts, killed_at = [], []
        for n in range(1, kills + 1):
            if len(killed_at) >= 2:
                pause = killed_at[-2] + RATE_WINDOW - now()
                if pause > 0:
                    log("waiting %.0f s for the reload limit's minute to pass" % pause)
                    time.sleep(pause)
            step = "kill %d" % n
            pid = console_renderer(launch.popen.pid, timeout, step)
            killed_at.append(now())
            os.kill(pid, signal.SIGKILL)
            loaded = launch.wait_loaded(killed_at[-1], timeout, "the load after " + step)
            restarts.append((loaded + launch.spawned - killed_at[-1]) * 1000.0)
            log("%s: renderer %d, loaded again after %.0f ms" % (step, pid, restarts[-1]))
            if launch.popen.poll() is not None:
                raise RuntimeError("the shell ended (status %s) after %s"
                                   % (launch.popen.returncode, step))
        return {"startup_ms": startup * 1000.0, "kill_ms": restarts}
    finally:
        launch.stop()
