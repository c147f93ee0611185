"""Outage: how soon the console shows again once its server answers after an outage
(bench/run --only outage).

The shell is started at the address of a server that is down (nothing listens on its port);
after the outage's length a server starts there that redirects to the bench's page, and the
figure is the time from that start to the page's load report. Target: within the first
5 minutes of an outage, at most 2 s. The shell tries again after 1, 2, 4 ... up to 30 s, so
the figure depends on where the outage ends between two tries: each length is measured once.
"""

import socket
import time

from common import Hung, harness, log, now
from launch import Launch

PARTS = ["outage"]
LENGTHS_S = [2.5, 5.5, 12.0, 40.0]  # outage lengths, from the shell's start
QUICK_LENGTHS_S = [2.5]
TARGET_MS = 2000.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def measure(bench, shell, length):
    """Milliseconds from the server's start to the console's load report."""
    run = bench.next_run(shell.key + "-outage")
    launch = Launch(bench, "shell", run, "start", shell.binary)
    port = free_port()
    target = launch.url
    launch.url = "http://127.0.0.1:%d/console/index.html" % port
    server = None
    try:
        launch.start()
        time.sleep(max(0.0, launch.spawned + length - now()))
        server = harness.serve({"/console/": lambda r: (302, b"", {"Location": target})}, port)
        up = now()
        got = bench.pages.wait_loaded(run, up, 60)
        if got is None:
            raise Hung("%s: the console's load after its server came up" % run, 60, launch.dir)
        return (got[0] - up) * 1000.0
    finally:
        if server:
            server.shutdown()
            server.server_close()
        launch.stop()


def run_part(bench, part):
    lengths = QUICK_LENGTHS_S if bench.args.quick else LENGTHS_S
    out = bench.results.setdefault(part, {})
    for shell in bench.shells:
        figures = out.setdefault(shell.key, {})
        for length in lengths:
            try:
                figures["%gs" % length] = ms = measure(bench, shell, length)
                log("%s: outage of %g s, shown %.0f ms after the server answered%s"
                    % (shell.label, length, ms, "" if ms <= TARGET_MS else " (over the target)"))
            except (RuntimeError, harness.Timeout, OSError) as e:
                bench.note("the outage of %g s of %s failed: %s" % (length, shell.label, e))


def report_section(bench, write):
    write("## Outage")
    write("")
    write("From the console's server coming up after an outage to the console's load, ms "
          "(target: at most %.0f):" % TARGET_MS)
    write("")
    for key, figures in bench.results.get("outage", {}).items():
        write("- %s: %s" % (key, ", ".join("%s: %.0f" % kv for kv in figures.items())))
