"""An X display of the tests' own, and the shell run as a user runs it.

Display starts Xvfb on a free display number (Xvfb -displayfd) with openbox as
its window manager, and reads windows through xdotool, xwininfo and xprop.
ShellRun starts the program with a home and XDG directories of its own, a
browser that only records what it is asked to open, and its output in files.
"""

from __future__ import annotations

import atexit
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

SCREEN_SIZE = (1280, 1024)


class WaitTimeout(AssertionError):
    pass


def wait_until(condition, timeout: float, what, interval: float = 0.1, details=None):
    """Polls condition until it gives a true value, which it returns.

    On time-out raises WaitTimeout naming what was awaited (what, or what() if
    it is callable, so that it can tell the state at that moment), with
    details() added.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            message = "timed out after %.0f s waiting for %s" % (
                timeout, what() if callable(what) else what)
            if details is not None:
                message += "\n" + details()
            raise WaitTimeout(message)
        time.sleep(interval)


# Processes started here and not yet stopped, each with whether it leads a group
# of its own; whatever is left when the tests' process ends is stopped then.
_live: dict[subprocess.Popen, bool] = {}


def _start(args: list[str], group: bool = True, **kwargs) -> subprocess.Popen:
    process = subprocess.Popen(args, start_new_session=group, **kwargs)
    _live[process] = group
    return process


@atexit.register
def _stop_leftovers() -> None:
    for process, group in list(_live.items()):
        _stop_process(process, group, grace=3.0)


def _stop_process(process: subprocess.Popen, group: bool, grace: float = 10.0) -> None:
    """Ends a process that this module started (and its group, if it leads one)."""
    _live.pop(process, None)
    def send(sig):
        try:
            if group:
                os.killpg(process.pid, sig)
            else:
                process.send_signal(sig)
        except (ProcessLookupError, PermissionError):
            pass

    if process.poll() is None:
        send(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            send(signal.SIGKILL)
            process.wait(grace)
    if group:
        # Helpers the process started (the web engine's) go with it.
        send(signal.SIGKILL)


OPENBOX_RC = """<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <desktops><number>1</number></desktops>
  <margins><top>0</top><bottom>0</bottom><left>0</left><right>0</right></margins>
  <keyboard>
    <keybind key="A-F4"><action name="Close"/></keybind>
  </keyboard>
  <mouse>
    <context name="Client">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
    </context>
  </mouse>
</openbox_config>
"""


class Display:
    """Xvfb with openbox on a display number that Xvfb picks itself."""

    def __init__(self, workdir: str):
        self.workdir = workdir
        self.xvfb = None
        self.openbox = None
        self.name = None

    def start(self) -> None:
        read_end, write_end = os.pipe()
        width, height = SCREEN_SIZE
        self._xvfb_log = open(os.path.join(self.workdir, "xvfb.log"), "wb")
        self.xvfb = _start(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (width, height),
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self._xvfb_log,
            stderr=subprocess.STDOUT)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not start:\n" + self._read("xvfb.log"))
        self.name = ":" + number.strip().decode()

        home = os.path.join(self.workdir, "openbox-home")
        os.makedirs(home, exist_ok=True)
        rc = os.path.join(self.workdir, "openbox-rc.xml")
        with open(rc, "w") as f:
            f.write(OPENBOX_RC)
        self._openbox_log = open(os.path.join(self.workdir, "openbox.log"), "wb")
        env = self.environment({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, "config"),
                                "XDG_CACHE_HOME": os.path.join(home, "cache")})
        self.openbox = _start(
            ["openbox", "--sm-disable", "--config-file", rc], env=env,
            stdin=subprocess.DEVNULL, stdout=self._openbox_log, stderr=subprocess.STDOUT)
        try:
            wait_until(lambda: self.openbox.poll() is not None or self._wm_running(), 30,
                       "openbox to manage the display")
        except AssertionError:
            self.stop()
            raise
        if self.openbox.poll() is not None:
            self.stop()
            raise RuntimeError("openbox did not start:\n" + self._read("openbox.log"))

    def _read(self, name: str) -> str:
        try:
            with open(os.path.join(self.workdir, name), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _wm_running(self) -> bool:
        return "window id #" in self.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK", check=False)

    def stop(self) -> None:
        for process in (self.openbox, self.xvfb):
            if process is not None:
                _stop_process(process, group=True)
        for log in ("_openbox_log", "_xvfb_log"):
            if hasattr(self, log):
                getattr(self, log).close()

    def environment(self, extra: dict | None = None) -> dict:
        """The tests' own environment, pointed at this display."""
        env = dict(os.environ)
        for name in ("XAUTHORITY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",
                     "DESKTOP_SESSION", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM",
                     "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                     "ALL_PROXY", "no_proxy", "NO_PROXY"):
            env.pop(name, None)
        env["DISPLAY"] = self.name
        env.update(extra or {})
        return env

    # -- reading and driving the display ------------------------------------------------

    def x(self, *args: str, check: bool = True) -> str:
        """Runs an X client on this display and returns its output."""
        result = subprocess.run(list(args), env=self.environment({"LC_ALL": "C.UTF-8"}),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                        result.stderr.decode(errors="replace")))
        return result.stdout.decode("utf-8", errors="replace")

    def visible_windows(self, pid: int) -> list[int]:
        """The mapped windows of process pid (by _NET_WM_PID)."""
        out = self.x("xdotool", "search", "--onlyvisible", "--pid", str(pid), check=False)
        return [int(w) for w in out.split()]

    def window_info(self, window: int) -> dict:
        """Position (absolute), client size, map state and override-redirect of a window."""
        out = self.x("xwininfo", "-id", str(window), check=False)
        info = {}
        for key, pattern in (("x", r"Absolute upper-left X:\s+(-?\d+)"),
                             ("y", r"Absolute upper-left Y:\s+(-?\d+)"),
                             ("width", r"\bWidth:\s+(\d+)"), ("height", r"\bHeight:\s+(\d+)"),
                             ("map_state", r"Map State:\s+(\w+)"),
                             ("override_redirect", r"Override Redirect State:\s+(\w+)")):
            match = re.search(pattern, out)
            if match:
                value = match.group(1)
                info[key] = int(value) if value.lstrip("-").isdigit() else value
        return info

    def window_title(self, window: int) -> str | None:
        out = self.x("xprop", "-id", str(window), "-notype", "_NET_WM_NAME", check=False)
        match = re.match(r'_NET_WM_NAME = "(.*)"\s*$', out, re.S)
        if not match:
            return None
        # xprop escapes quotes and backslashes.
        return re.sub(r"\\(.)", r"\1", match.group(1))

    def window_property(self, window: int, name: str) -> str:
        return self.x("xprop", "-id", str(window), name, check=False).strip()

    def transient_for(self, window: int) -> int | None:
        out = self.window_property(window, "WM_TRANSIENT_FOR")
        match = re.search(r"window id # (0x[0-9a-f]+)", out)
        return int(match.group(1), 16) if match else None

    def active_window(self) -> int | None:
        out = self.x("xdotool", "getactivewindow", check=False).strip()
        return int(out) if out.isdigit() else None

    def focused_window(self) -> int | None:
        out = self.x("xdotool", "getwindowfocus", check=False).strip()
        return int(out) if out.isdigit() else None

    def workarea(self) -> tuple[int, int, int, int]:
        out = self.x("xprop", "-root", "_NET_WORKAREA")
        numbers = [int(n) for n in re.findall(r"\d+", out.split("=", 1)[1])]
        return tuple(numbers[:4])

    def root_children(self) -> list[int]:
        """The root window's children in stacking order, bottom first.

        Override-redirect windows (which the window manager does not frame) are
        among them. xwininfo lists the top-most child first.
        """
        out = self.x("xwininfo", "-root", "-children")
        return [int(w, 16) for w in re.findall(r"^\s+(0x[0-9a-f]+)", out, re.M)][::-1]

    def top_level_of(self, window: int) -> int:
        """The root window's child that holds window (its frame, if it is managed)."""
        root = None
        current = window
        while True:
            out = self.x("xwininfo", "-tree", "-id", str(current))
            root = int(re.search(r"Root window id: (0x[0-9a-f]+)", out).group(1), 16)
            parent = int(re.search(r"Parent window id: (0x[0-9a-f]+)", out).group(1), 16)
            if parent == root:
                return current
            current = parent

    def pixel(self, x: int, y: int) -> tuple[int, int, int]:
        """The colour of one pixel of the screen."""
        out = self.x("import", "-silent", "-window", "root", "-crop", "1x1+%d+%d" % (x, y),
                     "-depth", "8", "txt:-")
        match = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1])
        return tuple(int(v) for v in match.groups())

    def click(self, window: int, x: int, y: int) -> None:
        """Moves the pointer to (x, y) in window's client area and clicks button 1."""
        self.x("xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1")

    def key(self, *keys: str) -> None:
        """Types keys through the X server, as the keyboard would, to the focused window."""
        self.x("xdotool", "key", "--clearmodifiers", *keys)


class ShellRun:
    """One run of the program under test, with a home of its own.

    Several runs can share one home (pass home_root) to see what a run leaves for
    the next.
    """

    def __init__(self, program: str, display: Display, console_url: str, home_root: str,
                 label: str):
        self.program = program
        self.display = display
        self.label = label
        self.root = home_root
        self.home = os.path.join(home_root, "home")
        self.config = os.path.join(home_root, "config")
        self.cache = os.path.join(home_root, "cache")
        self.data = os.path.join(home_root, "data")
        self.tmp = os.path.join(home_root, "tmp")
        self.runtime = os.path.join(home_root, "runtime")
        for path in (self.home, self.config, self.cache, self.data, self.tmp, self.runtime):
            os.makedirs(path, exist_ok=True)
        os.chmod(self.runtime, 0o700)
        self.opened_file = os.path.join(home_root, "opened-urls.txt")
        self._write_browser()
        self.stderr_path = os.path.join(home_root, "%s.stderr.txt" % label)
        self.stdout_path = os.path.join(home_root, "%s.stdout.txt" % label)
        env = display.environment({
            "HOME": self.home,
            "XDG_CONFIG_HOME": self.config,
            "XDG_CACHE_HOME": self.cache,
            "XDG_DATA_HOME": self.data,
            "XDG_RUNTIME_DIR": self.runtime,
            "TMPDIR": self.tmp,
            "BROWSER": self.browser,
            "BRINDLETON_CONSOLE_URL": console_url,
        })
        env.pop("DEFAULT_BROWSER", None)
        if os.geteuid() == 0:
            # The web engine's sandbox cannot run as root; the program never
            # turns it off itself.
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
        self.env = env
        self._stderr = open(self.stderr_path, "wb")
        self._stdout = open(self.stdout_path, "wb")
        self.process = _start([program], env=env, cwd=self.home, stdin=subprocess.DEVNULL,
                              stdout=self._stdout, stderr=self._stderr)
        self.pid = self.process.pid

    def _write_browser(self) -> None:
        """A browser (and mail program) that writes each address it gets as a line
        of opened_file.

        It is named by BROWSER and, for xdg-open, is the default handler of web
        and mail addresses in the run's own XDG directories, so that whatever
        route the desktop takes, the address reaches it.
        """
        self.browser = os.path.join(self.root, "record-browser")
        with open(self.browser, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" >> '%s'\n" % self.opened_file)
        os.chmod(self.browser, 0o755)
        applications = os.path.join(self.data, "applications")
        os.makedirs(applications, exist_ok=True)
        with open(os.path.join(applications, "e2e-recorder.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=E2E recorder\n"
                    "Exec=%s %%u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;"
                    "x-scheme-handler/mailto;\n"
                    "NoDisplay=true\n" % self.browser)
        with open(os.path.join(self.config, "mimeapps.list"), "w") as f:
            f.write("[Default Applications]\nx-scheme-handler/http=e2e-recorder.desktop\n"
                    "x-scheme-handler/https=e2e-recorder.desktop\n"
                    "x-scheme-handler/mailto=e2e-recorder.desktop\n")

    # -- what the run produced --------------------------------------------------------

    def stderr(self) -> str:
        self._stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", errors="replace")

    def stderr_lines(self) -> list[str]:
        return self.stderr().splitlines()

    def opened_urls(self) -> list[str]:
        try:
            with open(self.opened_file) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def running(self) -> bool:
        return self.process.poll() is None

    def describe(self, lines: int = 40) -> str:
        status = self.process.poll()
        state = "still running" if status is None else "exit status %s" % status
        tail = "\n".join(self.stderr_lines()[-lines:])
        return "[%s: %s; stderr in %s, last lines:]\n%s" % (self.label, state, self.stderr_path,
                                                            tail)

    # -- ending ---------------------------------------------------------------------

    def wait_exit(self, timeout: float) -> int | None:
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self) -> None:
        _stop_process(self.process, group=True)
        self._stderr.close()
        self._stdout.close()


def make_workdir(prefix: str) -> str:
    return tempfile.mkdtemp(prefix=prefix)


def remove_workdir(path: str) -> None:
    shutil.rmtree(path, ignore_errors=True)
