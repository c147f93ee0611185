"""Shared by bench/ and demo/: waiting, process trees, an X display of our own (Xvfb,
openbox, xprop), private homes, a loopback HTTP server, WAV files."""

import atexit
import contextlib
import http.server
import os
import select
import signal
import struct
import subprocess
import threading
import time
import urllib.parse


class Timeout(AssertionError):
    pass


def wait_until(condition, timeout, what, interval=0.05):
    """condition()'s first true value; Timeout naming what (or what()) after timeout s."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() >= deadline:
            raise Timeout("gave up after %.0f s waiting for %s"
                          % (timeout, what() if callable(what) else what))
        time.sleep(interval)
    return value


# -- process trees ----------------------------------------------------------------------

_live = set()


def start(args, **kwargs):
    """Starts args leading a session of its own; stop() ends all of it."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    process = subprocess.Popen(args, start_new_session=True, **kwargs)
    _live.add(process)
    return process


def tree(pid):
    """The living processes of the session that pid leads, as every process start() makes
    does: the engine's and the browser's helpers stay in it."""
    found = set()
    for name in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open("/proc/%s/stat" % name) as f:  # or gone meanwhile
            # The fields after the command's name, which may hold ")" itself.
            state, _, _, session = f.read().rpartition(")")[2].split()[:4]
            if state != "Z" and int(session) == pid:
                found.add(int(name))
    return found


def stop(process, grace=5.0):
    """Ends a process started by start(), then anything left of its tree."""
    if process not in _live:  # None, or stopped already
        return
    _live.discard(process)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in tree(process.pid):
            with contextlib.suppress(OSError):
                os.kill(pid, sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(grace)
    process.wait(0)  # raises if even SIGKILL did not end it
    wait_until(lambda: not tree(process.pid), grace, "the processes of %d to end" % process.pid)


atexit.register(lambda: [stop(p, 1.0) for p in list(_live)])


# -- an X display of its own, and a home of its own ---------------------------------------

class Display:
    """Xvfb (-nolisten tcp, on a number it picks itself) with openbox, whose default settings
    focus new windows, raise a window on a click and close one on Alt+F4."""

    def __init__(self, workdir, size=(1280, 1024), timeout=30):
        self.openbox = None
        read_end, write_end = os.pipe()
        with open(os.path.join(workdir, "xvfb.log"), "wb") as log, open(read_end, "rb", 0) as pipe:
            self.xvfb = start(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                               "%dx%dx24" % size, "-nolisten", "tcp", "-noreset"],
                              pass_fds=(write_end,), stdout=log, stderr=log)
            os.close(write_end)
            try:
                # Xvfb writes its number in one piece once it takes connections.
                ready = select.select([pipe], [], [], timeout)[0]
                number = pipe.read(16).decode().strip() if ready else ""
                if not number.isdigit():
                    raise RuntimeError("Xvfb did not start (see %s)" % log.name)
                self.name = ":" + number
                self.openbox = start(["openbox", "--sm-disable"], stdout=log, stderr=log,
                                     env=self.env({"HOME": workdir, "XDG_CONFIG_HOME": workdir}))
                wait_until(lambda: "window id #" in self.x("xprop", "-root",
                                                           "_NET_SUPPORTING_WM_CHECK"),
                           timeout, "openbox to manage display " + self.name)
            except BaseException:
                self.stop()
                raise

    def env(self, extra=None):
        """This process's environment pointed at this display alone."""
        env = {k: v for k, v in os.environ.items() if k not in (
            "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",
            "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER") and not k.lower().endswith("_proxy")}
        return dict(env, DISPLAY=self.name, QT_QPA_PLATFORM="xcb", **(extra or {}))

    def x(self, *args):
        """The output of an X client run on this display ("" if it fails)."""
        result = subprocess.run(args, env=self.env({"LC_ALL": "C.UTF-8"}), timeout=30,
                                stdin=subprocess.DEVNULL, capture_output=True)
        return result.stdout.decode(errors="replace") if result.returncode == 0 else ""

    def windows(self, *how):
        """Visible windows by xdotool search, e.g. windows("--pid", "42")."""
        return [int(w) for w in self.x("xdotool", "search", "--onlyvisible", *how).split()]

    def stop(self):
        stop(self.openbox, 2.0)
        stop(self.xvfb, 2.0)


def private_env(root, env):
    """env with HOME, the XDG directories, a fresh XDG_RUNTIME_DIR and TMPDIR below root."""
    env = dict(env)
    for name, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_CACHE_HOME", "cache"),
                      ("XDG_DATA_HOME", "data"), ("XDG_RUNTIME_DIR", "runtime"), ("TMPDIR", "tmp")):
        env[name] = os.path.join(root, sub)
        os.makedirs(env[name], mode=0o700)
    if os.geteuid() == 0:  # the engine's sandbox cannot run as root
        env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
    return env


# -- a web server on the loopback -----------------------------------------------------------

class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # else the peer's delayed ACK holds bodies back

    def log_message(self, *args):
        pass

    def _route(self):
        self.url = urllib.parse.urlsplit(self.path)
        self.query = dict(urllib.parse.parse_qsl(self.url.query))
        self.body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        routes, path = self.server.routes, self.url.path
        prefix = max((p for p in routes if p.endswith("/") and path.startswith(p)), key=len,
                     default=None)
        route = routes.get(path) or routes.get(prefix) or (lambda _: (404, b"not found\n"))
        with contextlib.suppress(BrokenPipeError, ConnectionResetError):  # the page went away
            if (answer := route(self)) is not None:
                self.reply(*answer)

    do_GET = do_HEAD = do_POST = _route

    def reply(self, status, body=b"", headers=None, length=None):
        """Sends the status and headers, then body unless HEAD was asked."""
        self.send_response(status)
        headers = {"Cache-Control": "no-store", **({} if status == 304 else {
            "Content-Type": "text/plain", "Content-Length": length or len(body)}),
            **(headers or {})}
        for name, value in headers.items():
            self.send_header(name, str(value))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)


def serve(routes, port=0):
    """An HTTP server on 127.0.0.1 in a thread. routes: path (or prefix ending in "/") ->
    fn(request with url, query, body, reply()) giving (status, body[, headers]) or None."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), _Handler)
    server.daemon_threads, server.block_on_close, server.routes = True, False, routes
    server.url = "http://127.0.0.1:%d" % server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# -- sounds ---------------------------------------------------------------------------------

def wav_header(data_bytes, rate):
    """The header of a 16-bit mono PCM WAV file with data_bytes of samples."""
    return (b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVE" + b"fmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16) +
            b"data" + struct.pack("<I", data_bytes))


def wav(samples, rate):
    """A 16-bit mono WAV file of samples (floats from -1 to 1)."""
    pcm = struct.pack("<%dh" % len(samples), *(round(max(-1, min(1, s)) * 32767) for s in samples))
    return wav_header(len(pcm), rate) + pcm
