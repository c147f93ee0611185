"""Watching the program from outside: its standard error line by line, its X
windows (maps, and _NET_WM_PING round trips) and a file's opens and reads."""

import ctypes
import os
import queue
import re
import select
import statistics
import struct
import threading
import time
import traceback

from common import Hung, now


class LineReader(threading.Thread):
    """Reads a pipe line by line, stamping each line with its arrival time."""

    def __init__(self, stream, copy_path):
        super().__init__(daemon=True)
        self.stream = stream
        self.copy = open(copy_path, "wb")
        self.lines = []
        self.cond = threading.Condition()

    def run(self):
        for raw in iter(self.stream.readline, b""):
            t = now()
            self.copy.write(raw)
            with self.cond:
                self.lines.append((t, raw.decode("utf-8", "replace").rstrip("\n")))
                self.cond.notify_all()
        self.copy.close()

    def wait_for(self, pattern, after, timeout):
        """The first line after the time `after` matching the pattern."""
        rx = re.compile(pattern)
        deadline = now() + timeout
        with self.cond:
            while True:
                for t, line in self.lines:
                    if t >= after and rx.search(line):
                        return t, line
                left = deadline - now()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def count(self, pattern):
        rx = re.compile(pattern)
        with self.cond:
            return sum(1 for _, line in self.lines if rx.search(line))



class XWatcher(threading.Thread):
    """Watches one display: top-level windows being mapped (by name), and the
    latency of _NET_WM_PING round trips to one window of the program.

    A Qt application answers _NET_WM_PING on its GUI thread, while handling X
    events, so a ping that waits long means that thread was busy: the same
    probe a window manager uses to call a window "not responding"."""

    PING_INTERVAL = 0.004

    def __init__(self, display_name):
        super().__init__(daemon=True)
        from Xlib import display as xdisplay, X
        self.X = X
        self.d = xdisplay.Display(display_name)
        self.root = self.d.screen().root
        # Qt answers pings to the root window with StructureNotify | SubstructureRedirect.
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask | X.StructureNotifyMask)
        self.WM_PROTOCOLS = self.d.intern_atom("WM_PROTOCOLS")
        self.NET_WM_PING = self.d.intern_atom("_NET_WM_PING")
        self.d.flush()
        self.lock = threading.Condition()
        self.maps = []        # (time, window id, name)
        self.pings = {}       # seq -> [sent, received or None]
        self.ping_target = None
        self.ping_on = False
        self.stop_flag = False
        self.requests = queue.Queue()

    def run(self):
        from Xlib import protocol
        X = self.X
        seq = 0
        next_ping = now()
        try:
            while not self.stop_flag:
                while True:
                    try:
                        fn, box = self.requests.get_nowait()
                    except queue.Empty:
                        break
                    try:
                        box.put((True, fn(self.d)))
                    except Exception as e:  # handed back to the caller
                        box.put((False, e))
                t = now()
                if self.ping_on and self.ping_target is not None and t >= next_ping:
                    seq += 1
                    win = self.d.create_resource_object("window", self.ping_target)
                    ev = protocol.event.ClientMessage(
                        window=win, client_type=self.WM_PROTOCOLS,
                        data=(32, [self.NET_WM_PING, seq, self.ping_target, 0, 0]))
                    with self.lock:
                        self.pings[seq] = [now(), None]
                    win.send_event(ev, event_mask=0)
                    self.d.flush()
                    next_ping = t + self.PING_INTERVAL
                timeout = max(0.0, min(next_ping - now(), 0.05)) if self.ping_on else 0.05
                select.select([self.d.fileno()], [], [], timeout)
                while self.d.pending_events():
                    ev = self.d.next_event()
                    arrived = now()
                    if ev.type == X.ClientMessage and ev.window.id == self.root.id:
                        fmt, data = ev.data
                        if fmt == 32 and data[0] == self.NET_WM_PING:
                            with self.lock:
                                entry = self.pings.get(data[1])
                                if entry and entry[1] is None:
                                    entry[1] = arrived
                    elif ev.type == X.MapNotify and not self.stop_flag:
                        name = self.window_name(ev.window)
                        with self.lock:
                            self.maps.append((arrived, ev.window.id, name))
                            self.lock.notify_all()
        except Exception:
            if not self.stop_flag:
                traceback.print_exc()

    def window_name(self, win):
        try:
            name = win.get_full_text_property(self.d.intern_atom("_NET_WM_NAME"))
            return name or win.get_wm_name() or ""
        except Exception:
            return ""

    def ask(self, fn, timeout=10):
        """Runs fn(display) on the watcher's thread."""
        box = queue.Queue()
        self.requests.put((fn, box))
        try:
            ok, value = box.get(timeout=timeout)
        except queue.Empty:
            raise Hung("the X watcher's answer", timeout) from None
        if not ok:
            raise value
        return value

    def find_client(self, pid):
        """The program's managed top-level window."""
        def look(d):
            atom = d.intern_atom("_NET_CLIENT_LIST")
            pid_atom = d.intern_atom("_NET_WM_PID")
            prop = d.screen().root.get_full_property(atom, 0)
            for wid in (prop.value if prop else []):
                w = d.create_resource_object("window", wid)
                p = w.get_full_property(pid_atom, 0)
                if p and p.value and p.value[0] == pid:
                    return wid
            return None
        deadline = now() + 10
        while now() < deadline:
            wid = self.ask(look)
            if wid:
                return wid
            time.sleep(0.05)
        return None

    def wait_map(self, name, after, timeout):
        deadline = now() + timeout
        with self.lock:
            while True:
                for t, wid, n in self.maps:
                    if t >= after and n == name:
                        return t
                left = deadline - now()
                if left <= 0:
                    return None
                self.lock.wait(left)

    def start_pings(self, wid):
        with self.lock:
            self.pings = {}
        self.ping_target = wid
        self.ping_on = True

    def stop_pings(self):
        self.ping_on = False
        time.sleep(0.05)
        with self.lock:
            return dict(self.pings)

    def close(self):
        self.stop_flag = True
        self.join(2)
        try:
            self.d.close()
        except Exception:
            pass


def ping_stats(pings, start, end, final):
    """Longest ping wait in [start, end] (and when it began, in s from start); unanswered
    pings count until `final`."""
    timed = sorted((((got if got is not None else final) - sent) * 1000.0, sent - start)
                   for sent, got in pings.values() if start <= sent <= end)
    if not timed:
        return None
    waits = [w for w, _ in timed]
    return {"max": waits[-1], "median": statistics.median(waits), "count": len(waits),
            "p99": waits[min(len(waits) - 1, int(len(waits) * 0.99))],
            "max_at_s": timed[-1][1]}


class FileWatch(threading.Thread):
    """inotify on one file: when it is opened and first read."""

    IN_ACCESS, IN_OPEN = 0x1, 0x20

    def __init__(self, path):
        super().__init__(daemon=True)
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(),
                                                  self.IN_OPEN | self.IN_ACCESS) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + path)
        self.events = []  # (time, mask)
        self.lock = threading.Lock()
        self.stop_flag = False

    def run(self):
        while not self.stop_flag:
            if not select.select([self.fd], [], [], 0.05)[0]:
                continue
            t = now()
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            off = 0
            while off + 16 <= len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, off)
                with self.lock:
                    self.events.append((t, mask))
                off += 16 + length

    def first(self, mask, after):
        with self.lock:
            for t, m in self.events:
                if t >= after and m & mask:
                    return t
        return None

    def close(self):
        self.stop_flag = True
        self.join(1)
        os.close(self.fd)

