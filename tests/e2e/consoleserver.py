"""A scripted console page on 127.0.0.1 for the end-to-end tests.

The page at /webconsole/default2.aspx?flow=NAME is the console that the shell
loads. Its script reports what it sees to /report and then asks /next for the
steps of its flow: small pieces of script that the test hands it (for example
a bridge command), whose results it reports back. The test thus drives the page one step at a time and
reads what the page observed, while the server notes every request it gets.

Besides the page the server has:
  /sound.wav                   a short valid WAV file (made with the wave module)
  /static/console.css          a file that may be cached for an hour
  /webconsole/notice.css       the pop-up's style sheet, asked for by a relative address
  /elsewhere                   a page that the console must never navigate to

Only the Python standard library is used.
"""

from __future__ import annotations

import http.server
import io
import json
import math
import struct
import threading
import time
import urllib.parse
import wave

CONSOLE_PATH = "/webconsole/default2.aspx"
SOUND_PATH = "/sound.wav"
STATIC_PATH = "/static/console.css"
NOTICE_CSS_PATH = "/webconsole/notice.css"
ELSEWHERE_PATH = "/elsewhere"

# Where the console page puts its two links (left, top, width, height), in CSS
# pixels from the page's top left corner, which is the window's client area's
# top left corner.
LINK_BOXES = {
    "elsewhere": (20, 20, 260, 48),
    "refused": (20, 100, 260, 48),
}

# The colour that the pop-up's relative style sheet paints it in.
NOTICE_RGB = (255, 0, 0)


def make_wav(rate: int = 8000, seconds: float = 0.25, frequency: float = 440.0) -> bytes:
    """A short 16-bit mono sine tone."""
    frames = bytearray()
    total = int(rate * seconds)
    for i in range(total):
        value = 0.3 * math.sin(2 * math.pi * frequency * i / rate)
        frames += struct.pack("<h", int(value * 32767))
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(bytes(frames))
    return buffer.getvalue()


PAGE_TEMPLATE = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>%(title)s</title>
<link rel="stylesheet" href="%(static)s">
<style>
body { margin: 0; font: 14px sans-serif; }
a.box { position: absolute; display: block; box-sizing: border-box; padding: 12px;
        background: #2a5db0; color: white; text-decoration: none; }
</style></head>
<body>
<a class="box" id="elsewhere" href="%(elsewhere)s" style="%(elsewhere_box)s">elsewhere</a>
<a class="box" id="refused" href="%(refused)s" style="%(refused_box)s">refused scheme</a>
<script>
(function () {
  'use strict';
  const doc = Date.now().toString(36) + Math.random().toString(36).slice(2);
  const flow = new URLSearchParams(location.search).get('flow') || '';

  function report(kind, data) {
    return fetch('/report', {
      method: 'POST', cache: 'no-store', keepalive: true,
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({kind: kind, flow: flow, doc: doc, data: data})
    });
  }

  // Called by the shell with the answer of a reverse look-up.
  window.HandleQueryDns = function (address, hostName) {
    report('dns', {address: address, hostName: hostName, count: arguments.length});
  };

  document.addEventListener('click', function (event) {
    report('click', {x: event.clientX, y: event.clientY,
                     target: event.target.id || event.target.tagName});
  });

  async function run(step) {
    let result = null, error = null;
    try {
      result = await (new Function(step.code))();
      if (result === undefined) result = null;
    } catch (e) {
      error = String(e);
    }
    await report('result', {id: step.id, result: result, error: error});
  }

  async function poll() {
    let after = 0;
    for (;;) {
      try {
        const reply = await fetch('/next?flow=' + encodeURIComponent(flow) + '&doc=' + doc
                                  + '&after=' + after, {cache: 'no-store'});
        const steps = await reply.json();
        for (const step of steps) {
          after = Math.max(after, step.id);
          run(step);
        }
      } catch (e) {
        await new Promise(resolve => setTimeout(resolve, 250));
      }
    }
  }

  window.addEventListener('load', function () {
    report('ready', {
      location: location.href, title: document.title,
      bridge: typeof window.webkitExternal, pixelRatio: window.devicePixelRatio
    }).then(poll, poll);
  });
})();
</script>
</body></html>
"""

ELSEWHERE_PAGE = b"""<!DOCTYPE html><html><head><title>Elsewhere</title></head>
<body><p>The console should never have come here.</p></body></html>
"""


def _box_style(box) -> str:
    left, top, width, height = box
    return "left:%dpx;top:%dpx;width:%dpx;height:%dpx" % (left, top, width, height)


class ConsoleServer:
    """The scripted console's web server, in a thread of its own."""

    def __init__(self, title: str = "Brindleton e2e console"):
        self.title = title
        self.sound = make_wav()
        self._lock = threading.Condition()
        self._requests: list[tuple[str, str]] = []
        self._reports: list[dict] = []
        self._steps: list[dict] = []
        self._closing = False
        self._httpd = _Server(("127.0.0.1", 0), _Handler)
        self._httpd.console = self
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, name="console-server",
                                        daemon=True)
        self._thread.start()

    # -- addresses -----------------------------------------------------------

    def url(self, path: str) -> str:
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def console_url(self, flow: str) -> str:
        return self.url(CONSOLE_PATH + "?flow=" + urllib.parse.quote(flow))

    @property
    def elsewhere_url(self) -> str:
        return self.url(ELSEWHERE_PATH + "?from=console")

    refused_url = "ssh://operator@127.0.0.1/console"

    # -- what the server saw -----------------------------------------------------

    def requests(self, path: str | None = None) -> list[str]:
        """The request targets received so far, or those whose path is path."""
        with self._lock:
            targets = [target for _, target in self._requests]
        if path is None:
            return targets
        return [t for t in targets if urllib.parse.urlsplit(t).path == path]

    def reports(self, kind: str | None = None) -> list[dict]:
        with self._lock:
            return [r for r in self._reports if kind is None or r.get("kind") == kind]

    # -- steps for the page --------------------------------------------------------

    def add_step(self, flow: str, code: str) -> int:
        """Queues a piece of script (a function body) for the pages loaded for
        flow; returns its id."""
        with self._lock:
            step_id = len(self._steps) + 1
            self._steps.append({"id": step_id, "flow": flow, "code": code})
            self._lock.notify_all()
        return step_id

    def result(self, step_id: int) -> dict | None:
        for report in self.reports("result"):
            if report["data"].get("id") == step_id:
                return report["data"]
        return None

    def close(self) -> None:
        with self._lock:
            self._closing = True
            self._lock.notify_all()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(10)

    # -- used by the handler ---------------------------------------------------------

    def _note_request(self, method: str, target: str) -> None:
        with self._lock:
            self._requests.append((method, target))

    def _add_report(self, report: dict) -> None:
        with self._lock:
            report["received"] = time.monotonic()
            self._reports.append(report)
            self._lock.notify_all()

    def _steps_after(self, flow: str, after: int, wait: float) -> list[dict]:
        deadline = time.monotonic() + wait
        with self._lock:
            while True:
                pending = [s for s in self._steps if s["id"] > after and s["flow"] == flow]
                remaining = deadline - time.monotonic()
                if pending or self._closing or remaining <= 0:
                    return pending
                self._lock.wait(remaining)

    def _page(self) -> bytes:
        return (PAGE_TEMPLATE % {
            "title": self.title,
            "static": STATIC_PATH,
            "elsewhere": self.elsewhere_url,
            "elsewhere_box": _box_style(LINK_BOXES["elsewhere"]),
            "refused": self.refused_url,
            "refused_box": _box_style(LINK_BOXES["refused"]),
        }).encode("utf-8")


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    console: ConsoleServer


class _Handler(http.server.BaseHTTPRequestHandler):
    server: _Server

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def _send(self, status: int, body: bytes, content_type: str, cache: str = "no-store") -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", cache)
        self.end_headers()
        if self.command != "HEAD":
            try:
                self.wfile.write(body)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the page went away (the program ended) while it waited

    def do_GET(self):
        console = self.server.console
        console._note_request("GET", self.path)
        parts = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(parts.query)
        if parts.path == CONSOLE_PATH:
            self._send(200, console._page(), "text/html; charset=utf-8", "no-cache")
        elif parts.path == "/next":
            after = int(query.get("after", ["0"])[0])
            steps = console._steps_after(query.get("flow", [""])[0], after, wait=5.0)
            self._send(200, json.dumps(steps).encode(), "application/json")
        elif parts.path == SOUND_PATH:
            self._send(200, console.sound, "audio/wav")
        elif parts.path == STATIC_PATH:
            body = b"body { background: #f4f4f0; }\n"
            self._send(200, body, "text/css", "public, max-age=3600")
        elif parts.path == NOTICE_CSS_PATH:
            body = ("html, body { margin: 0; height: 100%%; background: rgb(%d, %d, %d); }\n"
                    % NOTICE_RGB).encode()
            self._send(200, body, "text/css")
        elif parts.path == ELSEWHERE_PATH:
            self._send(200, ELSEWHERE_PAGE, "text/html; charset=utf-8")
        else:
            self._send(404, b"not found\n", "text/plain")

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        console = self.server.console
        console._note_request("POST", self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        if urllib.parse.urlsplit(self.path).path != "/report":
            self._send(404, b"not found\n", "text/plain")
            return
        try:
            report = json.loads(body.decode("utf-8"))
        except ValueError:
            self._send(400, b"bad report\n", "text/plain")
            return
        console._add_report(report)
        self._send(204, b"", "text/plain")
