#!/usr/bin/env python3
"""Local web server for the bundled Brindleton demo console.

Serves the files under demo/console/ at /webconsole/, with the console page at
/webconsole/default2.aspx (the same address as on the production service), and a
short alert sound at /sounds/alert.wav that is synthesised at start-up.

Only the Python 3 standard library is used. The server listens on 127.0.0.1
only. Typical use:

    python3 demo/server.py --port 0 --port-file /tmp/brindleton-demo.port

prints the console's address and writes the chosen port number to the file once
the socket is listening, so that scripts can wait for the file and read it.
"""

from __future__ import annotations

import argparse
import email.utils
import http.server
import io
import math
import os
import posixpath
import signal
import sys
import threading
import time
import urllib.parse
import wave

HOST = "127.0.0.1"
CONSOLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "console")
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
    frames = bytearray()
    for s in samples:
        v = max(-1.0, min(1.0, s))
        frames += int(round(v * 32767)).to_bytes(2, "little", signed=True)
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))
    return buf.getvalue()


class ConsoleHandler(http.server.SimpleHTTPRequestHandler):
    server_version = "BrindletonDemo/1.0"
    protocol_version = "HTTP/1.1"

    # Set by main() before the server starts.
    verbose = False
    sound = b""
    sound_mtime = 0.0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=CONSOLE_DIR, **kwargs)

    # -- routing -----------------------------------------------------------

    def _route(self) -> str | None:
        """Maps the request path to a file below CONSOLE_DIR, or None for 404."""
        path = urllib.parse.urlsplit(self.path).path
        if path == CONSOLE_PAGE:
            return os.path.join(CONSOLE_DIR, "index.html")
        if not path.startswith(CONSOLE_PREFIX):
            return None
        rel = urllib.parse.unquote(path[len(CONSOLE_PREFIX):])
        if not rel or rel.endswith("/") or "\0" in rel:
            return None
        norm = posixpath.normpath("/" + rel).lstrip("/")
        parts = norm.split("/")
        if any(p in ("", ".", "..") or p.startswith(".") for p in parts):
            return None
        full = os.path.join(CONSOLE_DIR, *parts)
        root = os.path.realpath(CONSOLE_DIR)
        if os.path.commonpath([os.path.realpath(full), root]) != root:
            return None
        return full if os.path.isfile(full) else None

    def do_GET(self):
        self._serve(head=False)

    def do_HEAD(self):
        self._serve(head=True)

    def _serve(self, head: bool) -> None:
        path = urllib.parse.urlsplit(self.path).path
        if path in ("/", "/webconsole", "/webconsole/"):
            self._redirect(CONSOLE_PAGE)
            return
        if path == SOUND_PATH:
            self._send_bytes(self.sound, "audio/wav", self.sound_mtime, ASSET_CACHE_CONTROL, head)
            return
        file_path = self._route()
        if file_path is None:
            self._send_error(404, "Not found")
            return
        ext = os.path.splitext(file_path)[1].lower()
        ctype = CONTENT_TYPES.get(ext, "application/octet-stream")
        cache = PAGE_CACHE_CONTROL if path == CONSOLE_PAGE or ext == ".html" else ASSET_CACHE_CONTROL
        try:
            with open(file_path, "rb") as f:
                mtime = os.fstat(f.fileno()).st_mtime
                body = f.read()
        except OSError:
            self._send_error(404, "Not found")
            return
        self._send_bytes(body, ctype, mtime, cache, head)

    # -- responses ---------------------------------------------------------

    def _not_modified_since(self, mtime: float) -> bool:
        header = self.headers.get("If-Modified-Since")
        if not header:
            return False
        try:
            since = email.utils.parsedate_to_datetime(header).timestamp()
        except (TypeError, ValueError, IndexError, OverflowError):
            return False
        return int(mtime) <= int(since)

    def _send_bytes(self, body: bytes, ctype: str, mtime: float, cache: str, head: bool) -> None:
        if self._not_modified_since(mtime):
            self.send_response(304)
            self.send_header("Cache-Control", cache)
            self.send_header("Last-Modified", email.utils.formatdate(mtime, usegmt=True))
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", cache)
        self.send_header("Last-Modified", email.utils.formatdate(mtime, usegmt=True))
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _redirect(self, location: str) -> None:
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def _send_error(self, code: int, message: str) -> None:
        body = f"{code} {message}\n".encode("utf-8")
        self.send_response(code)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def log_message(self, format, *args):  # noqa: A002 - signature of the base class
        if self.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), format % args))


class DemoServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def write_port_file(path: str, port: int) -> None:
    """Writes the port atomically: readers never see a partial file."""
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.replace(tmp, path)


def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Serve the Brindleton demo console on 127.0.0.1.")
    p.add_argument("--port", type=int, default=8080,
                   help="TCP port to listen on; 0 picks any free port (default: 8080)")
    p.add_argument("--port-file", metavar="PATH",
                   help="write the chosen port to PATH once listening; removed again on exit")
    p.add_argument("--verbose", action="store_true", help="log every request to standard error")
    args = p.parse_args(argv)
    if not 0 <= args.port <= 65535:
        p.error("--port must be between 0 and 65535")
    return args


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    ConsoleHandler.verbose = args.verbose
    ConsoleHandler.sound = make_alert_wav()
    ConsoleHandler.sound_mtime = time.time()

    try:
        server = DemoServer((HOST, args.port), ConsoleHandler)
    except OSError as e:
        print(f"server.py: cannot listen on {HOST}:{args.port}: {e.strerror}", file=sys.stderr)
        return 1
    port = server.server_address[1]

    def stop(signum, _frame):
        # shutdown() waits for serve_forever() to return, so it must not run
        # on the thread that is inside serve_forever().
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if args.port_file:
        write_port_file(args.port_file, port)
    print(f"Brindleton demo console: http://{HOST}:{port}{CONSOLE_PAGE}", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        if args.port_file:
            try:
                os.remove(args.port_file)
            except OSError:
                pass
    if args.verbose:
        print("server.py: stopped", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
