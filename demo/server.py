#!/usr/bin/env python3
"""Local web server for the bundled Brindleton demo console, and the demo's runs.

Serves the files under demo/console/ at /webconsole/, with the console page at
/webconsole/default2.aspx (the same address as on the production service), and a
short alert sound at /sounds/alert.wav that is synthesised at start-up. The
server listens on 127.0.0.1 only.

    python3 demo/server.py --port 0 --port-file /tmp/brindleton-demo.port

prints the console's address and writes the chosen port number to the file once
the socket is listening, so that scripts can wait for the file and read it.
With --run PROGRAM it also runs the shell against the console until the shell
ends; adding --screenshot PATH runs it headless instead (an X display of its own
with openbox), saves a screenshot of the console with its pop-up and ends.
scripts/run-demo uses both.
"""

import argparse
import email.utils
import math
import os
import posixpath
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

DEMO_DIR = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(DEMO_DIR, "..", "bench"))
import harness  # noqa: E402

CONSOLE_DIR = os.path.join(DEMO_DIR, "console")
CONSOLE_PREFIX = "/webconsole/"
CONSOLE_PAGE = "/webconsole/default2.aspx"
SOUND_PATH = "/sounds/alert.wav"

# Static assets may be kept for an hour by the shell's disk cache. The console
# page itself is stored too but revalidated (If-Modified-Since) on every load, so
# an edited page shows at once while its unchanged assets come from the cache.
ASSET_CACHE_CONTROL = "public, max-age=3600"
PAGE_CACHE_CONTROL = "no-cache"

CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".svg": "image/svg+xml",
    ".png": "image/png",
    ".ico": "image/x-icon",
    ".json": "application/json",
    ".wav": "audio/wav",
}


def make_alert_wav(rate: int = 44100) -> bytes:
    """A soft two-tone chime (E5 then A5), 16-bit mono PCM, about 0.4 s.

    Each tone is a sine with a little second and third harmonic, a 6 ms attack
    and an exponential decay; the second tone starts while the first is still
    ringing, which gives the familiar "ding-dong" feel without clicks.
    """
    total = int(rate * 0.42)
    tones = (
        # (start s, frequency Hz, peak amplitude, decay time constant s)
        (0.00, 659.25, 0.42, 0.09),
        (0.15, 880.00, 0.42, 0.11),
    )
    attack = 0.006
    samples = [0.0] * total
    for start, freq, peak, tau in tones:
        first = int(start * rate)
        for i in range(first, total):
            t = (i - first) / rate
            env = peak * min(1.0, t / attack) * math.exp(-t / tau)
            if env < 1e-4 and t > attack:
                break
            w = 2.0 * math.pi * freq * t
            samples[i] += env * (math.sin(w) + 0.25 * math.sin(2 * w) + 0.08 * math.sin(3 * w))
    # Fade the last 20 ms to silence so playback ends without a click.
    fade = int(0.02 * rate)
    for k in range(fade):
        samples[total - fade + k] *= 1.0 - (k + 1) / fade
    return harness.wav(samples, rate)


def console_file(path: str) -> str | None:
    """The file below CONSOLE_DIR for a request path, or None (404)."""
    if path == CONSOLE_PAGE:
        return os.path.join(CONSOLE_DIR, "index.html")
    rel = urllib.parse.unquote(path[len(CONSOLE_PREFIX):])
    if not rel or rel.endswith("/") or "\0" in rel:
        return None
    parts = posixpath.normpath("/" + rel).lstrip("/").split("/")
    if any(p in ("", ".", "..") or p.startswith(".") for p in parts):
        return None
    full = os.path.join(CONSOLE_DIR, *parts)
    root = os.path.realpath(CONSOLE_DIR)
    if os.path.commonpath([os.path.realpath(full), root]) != root:
        return None
    return full if os.path.isfile(full) else None


def answer(request, body: bytes, ctype: str, mtime: float, cache: str):
    """The body, or 304 when the client's copy (If-Modified-Since) is as new."""
    headers = {"Cache-Control": cache, "Last-Modified": email.utils.formatdate(mtime, usegmt=True)}
    try:
        since = email.utils.parsedate_to_datetime(request.headers["If-Modified-Since"])
        if int(mtime) <= int(since.timestamp()):
            return 304, b"", headers
    except (TypeError, ValueError, IndexError, OverflowError):
        pass
    return 200, body, dict(headers, **{"Content-Type": ctype, "X-Content-Type-Options": "nosniff",
                                       "Referrer-Policy": "no-referrer"})


def serve_console(request):
    if request.url.path == CONSOLE_PREFIX:
        return 302, b"", {"Location": CONSOLE_PAGE}
    file_path = console_file(request.url.path)
    try:
        with open(file_path, "rb") as f:
            mtime, body = os.fstat(f.fileno()).st_mtime, f.read()
    except (OSError, TypeError):
        return 404, b"404 Not found\n", {"Content-Type": "text/plain; charset=utf-8"}
    ext = os.path.splitext(file_path)[1].lower()
    cache = PAGE_CACHE_CONTROL if ext == ".html" else ASSET_CACHE_CONTROL
    return answer(request, body, CONTENT_TYPES.get(ext, "application/octet-stream"), mtime, cache)


def start_server(port: int, verbose: bool):
    sound, sound_mtime = make_alert_wav(), time.time()

    def logged(route):
        def run(request):
            if verbose:
                sys.stderr.write("%s %s\n" % (request.command, request.path))
            return route(request)
        return run

    def redirect(request):  # "/" is every path's prefix: only itself is redirected
        if request.url.path in ("/", "/webconsole"):
            return 302, b"", {"Location": CONSOLE_PAGE}
        return 404, b"404 Not found\n", {"Content-Type": "text/plain; charset=utf-8"}

    return harness.serve({path: logged(route) for path, route in {
        "/": redirect, "/webconsole": redirect, CONSOLE_PREFIX: serve_console,
        SOUND_PATH: lambda r: answer(r, sound, "audio/wav", sound_mtime, ASSET_CACHE_CONTROL),
    }.items()}, port)


def run_headless(program: str, url: str, screenshot: str) -> int:
    """Runs the shell on a display of its own with the console's pop-up shown
    (?demo=1), and saves a screenshot of the screen."""
    work = tempfile.mkdtemp(prefix="brindleton-demo-")
    display = harness.Display(work, size=(960, 600))
    shell = None
    try:
        # A calm backdrop instead of black (display sets it, then exits 1).
        backdrop = os.path.join(work, "backdrop.png")
        display.x("convert", "-size", "960x600", "gradient:#4b5a6e-#252c36", backdrop)
        display.x("display", "-window", "root", backdrop)
        with open(os.path.join(work, "shell.log"), "wb") as log:
            shell = harness.start([program], stdout=log, stderr=log, env=harness.private_env(
                work, display.env({"BRINDLETON_CONSOLE_URL": url + "?demo=1"})))
        for title, what in (("Brindleton Operator Console", "the console page to load"),
                            ("New session waiting", "the notification pop-up")):
            harness.wait_until(lambda: shell.poll() is not None or
                               display.windows("--name", "^%s$" % title), 90, what)
            if shell.poll() is not None:
                raise RuntimeError("the shell ended (status %s) before %s; see %s"
                                   % (shell.returncode, what, log.name))
        # Both views have painted once the screen stops changing.
        shots = []
        harness.wait_until(lambda: shots.append(display.x("import", "-window", "root", "rgb:-"))
                           or len(shots) > 1 and shots[-1] == shots[-2], 30, "a still screen",
                           interval=0.5)
        os.makedirs(os.path.dirname(os.path.abspath(screenshot)), exist_ok=True)
        subprocess.run(["import", "-window", "root", screenshot], env=display.env(), check=True)
        print("screenshot saved to " + screenshot, file=sys.stderr)
        return 0
    finally:
        harness.stop(shell, 10)
        display.stop()
        shutil.rmtree(work, ignore_errors=True)


def main(argv: list[str]) -> int:
    p = argparse.ArgumentParser(description="Serve the Brindleton demo console on 127.0.0.1.")
    p.add_argument("--port", type=int, default=8080,
                   help="TCP port to listen on; 0 picks any free port (default: 8080)")
    p.add_argument("--port-file", metavar="PATH",
                   help="write the chosen port to PATH once listening; removed again on exit")
    p.add_argument("--verbose", action="store_true", help="log every request to standard error")
    p.add_argument("--run", metavar="PROGRAM", help="run the shell against the console")
    p.add_argument("--screenshot", metavar="PATH",
                   help="with --run: run headless, save a screenshot to PATH and end")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be between 0 and 65535")
    try:
        server = start_server(args.port, args.verbose)
    except OSError as e:
        print(f"server.py: cannot listen on 127.0.0.1:{args.port}: {e.strerror}", file=sys.stderr)
        return 1
    url = server.url + CONSOLE_PAGE
    print(f"Brindleton demo console: {url}", flush=True)
    if args.port_file:
        tmp = f"{args.port_file}.{os.getpid()}.tmp"  # readers never see a partial file
        with open(tmp, "w", encoding="ascii") as f:
            f.write(f"{server.server_address[1]}\n")
        os.replace(tmp, args.port_file)
    ended = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: ended.set())
    try:
        if args.run and args.screenshot:
            return run_headless(args.run, url, args.screenshot)
        if args.run:
            shell = harness.start([args.run], env=dict(os.environ, BRINDLETON_CONSOLE_URL=url))
            while shell.poll() is None and not ended.wait(0.2):
                pass
            harness.stop(shell, 10)
            return shell.returncode
        ended.wait()
        return 0
    finally:
        server.shutdown()
        server.server_close()
        if args.port_file and os.path.exists(args.port_file):
            os.remove(args.port_file)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
