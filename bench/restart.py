#!/usr/bin/env python3
"""Measures how fast the console comes back after its renderer process is killed.

    xvfb-run -a env QTWEBENGINE_DISABLE_SANDBOX=1 bench/restart.py --program build/brindleton

Builds nothing. Serves a tiny console page on 127.0.0.1 that reports its load
event back (GET /loaded), starts the program on the current DISPLAY with
BRINDLETON_CONSOLE_URL pointing at it and private HOME, XDG and TMPDIR
directories, waits for the first load, then kills the console's renderer
(SIGKILL) several times and measures from each kill to the next load report.
Prints the median and range beside the normal start-up time (process start to
first load). Target: under 1 s from kill to load.

The program stops reloading after 3 renderer ends within a minute, so kills are
paced: each comes at least 61 s after the one before the previous one (about
two minutes for 5 kills).
"""

import argparse
import http.server
import os
import queue
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PAGE = b"""<!DOCTYPE html><html><head><title>restart bench</title></head>
<body>console<script>
addEventListener('load', () => fetch('/loaded', {cache: 'no-store'}));
</script></body></html>"""

RATE_WINDOW = 61.0  # seconds; the program's limit is 3 ends within 60 s


class Hung(Exception):
    pass


def serve(loads):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path.startswith("/loaded"):
                loads.put(time.monotonic())
                body, kind = b"ok", "text/plain"
            else:
                body, kind = PAGE, "text/html; charset=utf-8"
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def wait_load(loads, after, deadline, step):
    """The time of the first load report later than `after`."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Hung("no load report within the deadline: " + step)
        try:
            moment = loads.get(timeout=left)
        except queue.Empty:
            continue
        if moment > after:
            return moment


def descendants(root, parents):
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
        parents[int(entry)] = ppid
    found, todo = [], [root]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def arguments(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def is_renderer(pid, parents):
    """Renderers forked by the engine's zygote keep the zygote's command line
    (--type=zygote) here, so a zygote's child counts as one too."""
    args = arguments(pid)
    return b"--type=renderer" in args or (
        b"--type=zygote" in args and b"--type=zygote" in arguments(parents.get(pid, 0)))


def console_renderer(program_pid, deadline, step):
    """The console's renderer: the program's only renderer until the pop-up is
    used; should the engine keep a spare one, the one that holds the page is
    the larger."""
    while time.monotonic() < deadline:
        parents = {}
        family = descendants(program_pid, parents)
        renderers = []
        for pid in family:
            try:
                with open("/proc/%d/statm" % pid) as f:
                    resident = int(f.read().split()[1])
            except OSError:
                continue
            if is_renderer(pid, parents):
                renderers.append((resident, pid))
        if renderers:
            return max(renderers)[1]
        time.sleep(0.02)
    raise Hung("no renderer process found: " + step)


def summary(values):
    return "median %.0f ms, range %.0f to %.0f ms (n=%d)" % (
        statistics.median(values) * 1000, min(values) * 1000, max(values) * 1000, len(values))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True, help="the built brindleton")
    parser.add_argument("--kills", type=int, default=5)
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds for each wait")
    options = parser.parse_args()
    if not os.environ.get("DISPLAY"):
        sys.exit("restart.py: no DISPLAY; run it under xvfb-run -a")

    loads = queue.Queue()
    server = serve(loads)
    home = tempfile.TemporaryDirectory(prefix="brindleton-restart-")
    env = dict(os.environ)
    for name, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"),
                      ("XDG_CACHE_HOME", "cache"), ("XDG_DATA_HOME", "data"),
                      ("TMPDIR", "tmp"), ("XDG_RUNTIME_DIR", "runtime")):
        env[name] = os.path.join(home.name, sub)
        os.makedirs(env[name], mode=0o700)
    env["BRINDLETON_CONSOLE_URL"] = "http://127.0.0.1:%d/console" % server.server_port

    started = time.monotonic()
    program = subprocess.Popen([os.path.abspath(options.program)], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    try:
        first = wait_load(loads, started, started + 60, "the first load after start")
        startup = first - started
        restarts, kills = [], []
        for n in range(1, options.kills + 1):
            if len(kills) >= 2:
                pause = kills[-2] + RATE_WINDOW - time.monotonic()
                if pause > 1:
                    print("waiting %.0f s for the reload limit's minute to pass" % pause,
                          flush=True)
                if pause > 0:
                    time.sleep(pause)
            step = "kill %d" % n
            pid = console_renderer(program.pid, time.monotonic() + options.timeout, step)
            killed = time.monotonic()
            os.kill(pid, signal.SIGKILL)
            kills.append(killed)
            loaded = wait_load(loads, killed, killed + options.timeout, "the load after " + step)
            restarts.append(loaded - killed)
            print("%s: renderer %d, loaded again after %.0f ms" % (step, pid,
                                                                  restarts[-1] * 1000), flush=True)
            if program.poll() is not None:
                raise Hung("the program ended (status %s) after %s" % (program.returncode, step))
        print("kill to load:     " + summary(restarts))
        print("start-up to load: %.0f ms" % (startup * 1000))
        verdict = "met" if statistics.median(restarts) < 1.0 else "missed"
        print("target (under 1 s from kill to load): %s" % verdict)
        return 0 if verdict == "met" else 1
    except Hung as error:
        print("restart.py: hung: %s" % error, file=sys.stderr)
        return 2
    finally:
        try:
            os.killpg(program.pid, signal.SIGTERM)
            program.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(program.pid, signal.SIGKILL)
            program.wait(timeout=10)
        except ProcessLookupError:
            pass
        server.shutdown()
        home.cleanup()


if __name__ == "__main__":
    sys.exit(main())
