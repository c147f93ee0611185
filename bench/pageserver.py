"""The bench's web server on 127.0.0.1: the console page (bench/page.html), which
reports its load events and, in the shell, takes its tasks from here; sounds."""

import json
import math
import os
import queue
import threading

from common import BENCH_DIR, Hung, harness, now

BIG_SOUND_BYTES = 50 * 1024 * 1024


def short_sound():
    """A 0.3 s fading tone."""
    rate = 22050
    frames = int(rate * 0.3)
    return harness.wav([0.25 * math.sin(2 * math.pi * 660 * i / rate) * (1 - i / frames)
                        for i in range(frames)], rate)


def big_sound():
    """A valid WAV of BIG_SOUND_BYTES bytes in all: a header, then a quiet tone
    (220.5 Hz) repeated in blocks of about 128 KiB."""
    header = harness.wav_header(BIG_SOUND_BYTES - 44, 22050)
    period = harness.wav([0.06 * math.sin(2 * math.pi * i / 100) for i in range(100)], 22050)
    return header, period[44:] * 655, BIG_SOUND_BYTES - len(header)


class Channel:
    """Tasks for one page and its answers."""

    def __init__(self):
        self.tasks = queue.Queue()
        self.results = queue.Queue()

    def call(self, op, timeout=180, **args):
        args["op"] = op
        self.tasks.put(args)
        try:
            result = self.results.get(timeout=timeout)
        except queue.Empty:
            raise Hung("the page's answer to task %r" % op, timeout) from None
        if isinstance(result, dict) and "error" in result:
            raise RuntimeError("task %r failed in the page: %s" % (op, result["error"]))
        return result


class PageServer:
    def __init__(self):
        self.lock = threading.Condition()
        self.loads = {}      # run -> [(monotonic time, query parameters)]
        self.channels = {}   # run -> Channel
        self.requests = {}   # path -> list of monotonic arrival times
        with open(os.path.join(BENCH_DIR, "page.html"), "rb") as f:
            page = f.read()
        self.short = short_sound()
        self.big = big_sound()
        self.server = harness.serve({
            "/console/index.html": lambda r: (200, page, {"Content-Type": "text/html"}),
            "/loaded": self.loaded,
            "/time": lambda r: (200, json.dumps({"t": now() * 1000.0}).encode(),
                                {"Content-Type": "application/json"}),
            "/next": self.next_task,
            "/done": self.done,
            "/sounds/": self.sound,
        })
        self.base = self.server.url

    def wait_loaded(self, run, after, timeout):
        """The first load report of run later than after: (time, query)."""
        deadline = now() + timeout
        with self.lock:
            while True:
                later = [load for load in self.loads.get(run, []) if load[0] > after]
                left = deadline - now()
                if later or left <= 0:
                    return later[0] if later else None
                self.lock.wait(left)

    def loaded(self, request):
        with self.lock:
            self.loads.setdefault(request.query.get("run", ""), []).append(
                (now(), request.query))
            self.lock.notify_all()
        return 204, b""

    def next_task(self, request):
        with self.lock:
            channel = self.channels.get(request.query.get("run", ""))
        task = {"op": "idle"}
        if channel:
            try:
                task = channel.tasks.get(timeout=20)
            except queue.Empty:
                pass
        return 200, json.dumps(task).encode(), {"Content-Type": "application/json"}

    def done(self, request):
        with self.lock:
            channel = self.channels.get(request.query.get("run", ""))
        if channel:
            channel.results.put(json.loads(request.body or b"null"))
        return 204, b""

    def sound(self, request):
        path = request.url.path
        with self.lock:
            self.requests.setdefault(path, []).append(now())
        if path.startswith("/sounds/short"):
            return 200, self.short, {"Content-Type": "audio/wav"}
        header, block, body_len = self.big
        request.reply(200, header, {"Content-Type": "audio/wav"}, len(header) + body_len)
        left = body_len
        while left > 0:
            chunk = block if left >= len(block) else block[:left]
            request.wfile.write(chunk)
            left -= len(chunk)
        return None

    def close(self):
        self.server.shutdown()
        self.server.server_close()
