#!/usr/bin/env python3
"""End-to-end tests: the built brindleton as a user runs it.

Each test starts the program as a process of its own on an X display that this
suite starts (Xvfb with the openbox window manager), with a home and XDG
directories of its own, against a scripted console page served on 127.0.0.1
(consoleserver.py). The test drives the page step by step, reads what the page
reports, looks at the windows through the X tools and the keyboard and mouse
through xdotool, and checks how the run ends.

    python3 tests/e2e/test_e2e.py --program build/brindleton [unittest options]

Needs Xvfb, openbox, xdotool, xwininfo/xprop (x11-utils), ImageMagick's import
and xdg-utils (scripts/install-deps installs them). A failing test keeps its
directory (the program's output, homes) and names it.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
import unittest

# The helpers beside this file; no byte code is written into the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from consoleserver import (CONSOLE_PATH, ELSEWHERE_PATH, LINK_BOXES, NOTICE_CSS_PATH,  # noqa: E402
                           NOTICE_RGB, SOUND_PATH, STATIC_PATH, ConsoleServer)
from desktop import Display, ShellRun, make_workdir, remove_workdir, wait_until  # noqa: E402

PROGRAM = os.environ.get("BRINDLETON_EXECUTABLE", "")

# Generous limits for waiting; nothing here measures speed.
START_TIMEOUT = 90
STEP_TIMEOUT = 60
EXIT_TIMEOUT = 60

PAGE_TITLE = "Brindleton console \u2014 e2e \u2713"


def expected_host_name(address: str) -> str:
    """What this machine's resolver calls address, or "" when it has no name."""
    try:
        return socket.getnameinfo((address, 0), socket.NI_NAMEREQD)[0]
    except (socket.gaierror, OSError):
        return ""


def files_under(directory: str) -> list[str]:
    found = []
    for base, _, names in os.walk(directory):
        found.extend(os.path.join(base, name) for name in names)
    return found


def any_file_contains(paths: list[str], needle: bytes) -> bool:
    for path in paths:
        try:
            with open(path, "rb") as f:
                if needle in f.read():
                    return True
        except OSError:
            pass
    return False


class EndToEnd(unittest.TestCase):
    display: Display
    display_dir: str

    @classmethod
    def setUpClass(cls):
        if not PROGRAM or not os.access(PROGRAM, os.X_OK):
            raise RuntimeError("no program to test: pass --program or set BRINDLETON_EXECUTABLE "
                               "(got %r)" % PROGRAM)
        missing = [tool for tool in ("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "import",
                                     "xdg-open") if shutil.which(tool) is None]
        if missing:
            raise RuntimeError("missing tools: %s (scripts/install-deps installs them)"
                               % ", ".join(missing))
        cls.display_dir = make_workdir("brn-e2e-display-")
        cls.display = Display(cls.display_dir)
        try:
            cls.display.start()
        except BaseException:
            remove_workdir(cls.display_dir)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.display.stop()
        remove_workdir(cls.display_dir)

    def setUp(self):
        # Short: the engine and Qt put sockets below these directories.
        self.workdir = make_workdir("brn-e2e-")
        self.server = ConsoleServer(title=PAGE_TITLE)
        self.runs: list[ShellRun] = []

    def tearDown(self):
        for run in self.runs:
            run.stop()
        self.server.close()

    def run(self, result=None):
        # Keeps the directory of a failed test for a look at its files.
        result = result if result is not None else self.defaultTestResult()
        problems = len(result.failures) + len(result.errors)
        super().run(result)
        if not hasattr(self, "workdir"):
            return result
        if len(result.failures) + len(result.errors) == problems:
            remove_workdir(self.workdir)
        else:
            sys.stderr.write("kept the failed test's files in %s\n" % self.workdir)
        return result

    # -- helpers ----------------------------------------------------------------------

    def start(self, flow: str, home: str = "home") -> ShellRun:
        """Starts the program on the console page of flow (one flow per run)."""
        run = ShellRun(PROGRAM, self.display, self.server.console_url(flow),
                       os.path.join(self.workdir, home), flow)
        run.flow = flow
        self.runs.append(run)
        return run

    def wait(self, condition, what, run: ShellRun, timeout: float = STEP_TIMEOUT):
        """Polls condition; fails at once if the program ends meanwhile."""
        def check():
            value = condition()
            if not value and not run.running():
                self.fail("the program ended while the test waited for %s\n%s"
                          % (what() if callable(what) else what, run.describe()))
            return value
        return wait_until(check, timeout, what, details=run.describe)

    def wait_ready(self, run: ShellRun) -> int:
        """Waits for the page to load and the console window to show its title;
        returns the window's id."""
        self.wait(lambda: self.ready_reports(run), "the console page to load", run,
                  START_TIMEOUT)
        return self.wait_console_window(run)

    def wait_console_window(self, run: ShellRun) -> int:
        """The program's one visible window, once it bears the page's title.

        (The X window that first appears may be replaced by another while the
        page loads, so the window is only taken once the page has its title.)
        """
        def console_window():
            windows = self.display.visible_windows(run.pid)
            if len(windows) == 1 and self.display.window_title(windows[0]) == PAGE_TITLE:
                return windows[0]
            return None
        return self.wait(console_window, lambda: "one window of the program, titled %r "
                         "(there are %s)" % (PAGE_TITLE, [
                             (w, self.display.window_title(w))
                             for w in self.display.visible_windows(run.pid)]), run)

    def ready_reports(self, run: ShellRun) -> list[dict]:
        return [r for r in self.server.reports("ready") if r["flow"] == run.flow]

    def call(self, run: ShellRun, code: str):
        """Runs a function body in the console page; returns its result."""
        step = self.server.add_step(run.flow, code)
        answer = self.wait(lambda: self.server.result(step),
                           lambda: "the page's answer to %r (the server's last requests: %s)"
                           % (code, self.server.requests()[-6:]), run)
        if answer["error"] is not None:
            self.fail("the page's step %r failed: %s\n%s" % (code, answer["error"],
                                                               run.describe()))
        return answer["result"]

    def command(self, run: ShellRun, text: str):
        """Calls webkitExternal.command(text) in the page; returns its answer."""
        return self.call(run, "return webkitExternal.command(%s);" % json.dumps(text))

    def close_by_command(self, run: ShellRun) -> None:
        """The page's close command, whose answer never comes: the program ends."""
        self.server.add_step(run.flow, "webkitExternal.command('close');")
        self.assertExitsWithZero(run, "after the close command (no exit prompt expected)")

    def assertExitsWithZero(self, run: ShellRun, when: str) -> None:
        status = run.wait_exit(EXIT_TIMEOUT)
        if status is None:
            self.fail("the program did not end %s\n%s" % (when, run.describe()))
        self.assertEqual(status, 0, "exit status %s\n%s" % (when, run.describe()))

    def wait_active(self, run: ShellRun, window: int) -> None:
        self.wait(lambda: self.display.active_window() == window and
                  self.display.focused_window() == window,
                  lambda: "window %#x to be active and focused (active: %s, focused: %s)"
                  % (window, self.display.active_window(), self.display.focused_window()), run)

    def other_windows(self, run: ShellRun, *known: int) -> list[int]:
        return [w for w in self.display.visible_windows(run.pid) if w not in known]

    # -- flows ----------------------------------------------------------------------------

    def test_startup_window_title_web_cache_and_close_command(self):
        # Every top-level window the X server creates from now on.
        created = subprocess.Popen(["xev", "-root", "-event", "substructure"],
                                   env=self.display.environment(), stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(created.kill)
        time.sleep(0.3)  # xev selects its events before the program starts
        run = self.start("startup")
        first = self.wait(lambda: self.display.visible_windows(run.pid),
                          "the console window to appear", run, START_TIMEOUT)
        for window in first:
            info = self.display.window_info(window)
            self.assertEqual((info.get("width"), info.get("height")), (555, 400),
                             "client size of the console window")
            self.assertEqual(info.get("override_redirect"), "no", "the window is managed")

        # The page loads in the window, the bridge is there, and the window
        # takes the page's title.
        ready = self.wait(lambda: self.ready_reports(run), "the console page to load", run,
                          START_TIMEOUT)[0]
        self.assertEqual(ready["data"]["location"], self.server.console_url("startup"))
        self.assertEqual(ready["data"]["bridge"], "object")
        window = self.wait_console_window(run)
        info = self.display.window_info(window)
        self.assertEqual((info["width"], info["height"]), (555, 400))
        # The console window was made once: drawing the page did not make the
        # program destroy it and make another (the user sees it vanish and return).
        created.terminate()
        events = created.communicate(timeout=10)[0]
        consoles = re.findall(r"CreateNotify event.*\n.*width 555, height 400\n.*override NO", events)
        self.assertEqual(len(consoles), 1, "console windows created: %d" % len(consoles))
        self.call(run, "document.title = 'Queue: 3 waiting'; return null;")
        self.wait(lambda: self.display.window_title(window) == "Queue: 3 waiting",
                  lambda: "the window title to follow the page's new title (it is %r)"
                  % self.display.window_title(window), run)
        self.assertIn("handle_javaScriptWindowObjectCleared", run.stderr_lines())

        # The console's resources land in the web cache of the application.
        cache = os.path.join(run.cache, "brindleton", "brncache")
        self.wait(lambda: any_file_contains(files_under(cache), STATIC_PATH.encode()),
                  "the cacheable style sheet to be stored under %s" % cache, run)

        self.close_by_command(run)

    def test_links_go_to_the_browser_and_the_console_stays(self):
        run = self.start("links")
        window = self.wait_ready(run)
        self.wait_active(run, window)
        ready = self.ready_reports(run)[0]

        def click_link(name):
            left, top, width, height = LINK_BOXES[name]
            ratio = ready["data"]["pixelRatio"]
            self.display.click(window, round((left + width / 2) * ratio),
                               round((top + height / 2) * ratio))

        # A link of a scheme that may not leave the program: it reaches the
        # window's link handling, and nothing is opened.
        click_link("refused")
        refused = self.server.refused_url
        self.wait(lambda: any(a == "linkClicked" and b == refused
                              for a, b in zip(run.stderr_lines(), run.stderr_lines()[1:])),
                  "the click on %s to reach the link handling" % refused, run)

        # A web link: the user's browser gets it.
        click_link("elsewhere")
        elsewhere = self.server.elsewhere_url
        self.wait(lambda: elsewhere in run.opened_urls(),
                  lambda: "the browser to get %s (it got %s)" % (elsewhere, run.opened_urls()),
                  run)

        # The open command: web and mail addresses leave, other schemes never.
        opened = self.server.url("/opened?by=command")
        mail = "mailto:operator@example.com?subject=Shift%20report"
        for text in ("ssh://operator@127.0.0.1/", "file:///etc/passwd", opened, mail):
            self.assertIsNone(self.command(run, "open:" + text))
        self.wait(lambda: {opened, mail} <= set(run.opened_urls()),
                  lambda: "the browser and the mail program to get %s and %s (they got %s)"
                  % (opened, mail, run.opened_urls()), run)

        # The console stayed where it was: the same document answers, at the same
        # address, and the browser's address was never fetched by the console.
        state = self.call(run, "return {location: location.href, title: document.title};")
        self.assertEqual(state["location"], self.server.console_url("links"))
        self.assertEqual([r["doc"] for r in self.server.reports("result")][-1], ready["doc"])
        self.assertEqual(len(self.ready_reports(run)), 1, "the console page loaded once")
        self.close_by_command(run)
        self.assertEqual(self.server.requests(ELSEWHERE_PATH), [])
        self.assertEqual(self.server.requests("/opened"), [])
        # Each address once, and none of the refused ones (the programs started
        # for them run side by side, so their order is not fixed).
        self.assertEqual(sorted(run.opened_urls()), sorted([elsewhere, opened, mail]))

    def test_stored_values_and_web_cache_outlive_the_run(self):
        key, value = "operator/layout", "wide:left \u00fc"
        first = self.start("store1")
        self.wait_ready(first)
        self.assertIsNone(self.command(first, "getlocaldata:" + key))
        self.assertIsNone(self.command(first, "setlocaldata:%s:%s" % (key, value)))
        self.assertIsNone(self.command(first, "setlocaldata:muted:"))
        self.assertEqual(self.command(first, "getlocaldata:" + key), value)
        self.close_by_command(first)

        settings = os.path.join(first.config, "Brindleton.conf")
        self.assertTrue(os.path.isfile(settings), "%s was written" % settings)
        self.assertFalse(os.path.exists(os.path.join(first.home, ".config", "Brindleton.conf")))
        styles_fetched = len(self.server.requests(STATIC_PATH))
        self.assertEqual(styles_fetched, 1)

        # The next run with the same home reads what the first one stored, the
        # empty value as empty, and takes the style sheet from its web cache.
        second = self.start("store2")
        self.wait_ready(second)
        self.assertEqual(self.command(second, "getlocaldata:" + key), value)
        self.assertEqual(self.command(second, "getlocaldata:muted"), "")
        self.assertIsNone(self.command(second, "getlocaldata:never-stored"))
        loaded = self.call(second, "return [...document.styleSheets].some("
                                   "s => s.href && s.href.endsWith('%s'));" % STATIC_PATH)
        self.assertTrue(loaded, "the second run's page has the style sheet")
        self.assertEqual(len(self.server.requests(STATIC_PATH)), styles_fetched,
                         "the second run took the style sheet from the cache")
        self.close_by_command(second)

    def test_notification_shows_above_without_focus_and_hides(self):
        run = self.start("notify")
        window = self.wait_ready(run)
        self.wait_active(run, window)

        # A maximized console lies under the pop-up's place.
        self.assertIsNone(self.command(run, "maximize"))
        self.wait(lambda: "_NET_WM_STATE_MAXIMIZED_VERT" in
                  self.display.window_property(window, "_NET_WM_STATE"),
                  "the console window to be maximized", run)
        self.wait_active(run, window)

        self.assertEqual(self.call(run, """return [
            webkitExternal.command('setnotifytitle:E2E notice'),
            webkitExternal.command('setnotifyhtml:<link rel="stylesheet" href="notice.css">'
                                   + '<p>3 calls waiting</p>'),
            webkitExternal.command('shownotify')];"""), [None, None, None])
        popup = self.wait(lambda: self.other_windows(run, window), "the pop-up to appear",
                          run)[0]
        self.assertEqual(self.display.window_title(popup), "E2E notice")

        area_x, area_y, area_width, area_height = self.display.workarea()
        expected = (area_x + area_width - 352, area_y + area_height - 152, 320, 120)
        def geometry():
            info = self.display.window_info(popup)
            return tuple(info.get(k) for k in ("x", "y", "width", "height"))
        self.wait(lambda: geometry() == expected,
                  lambda: "the pop-up at %s (x, y, width, height); it is at %s"
                  % (expected, geometry()), run)
        self.assertEqual(self.display.window_info(popup)["override_redirect"], "yes",
                         "the pop-up bypasses the window manager")

        # Its content shows (the relative style sheet came from the console's
        # address) on top of the console.
        centre = (expected[0] + 160, expected[1] + 60)
        self.wait(lambda: self.display.pixel(*centre) == NOTICE_RGB,
                  lambda: "the pop-up's content to show at %s (the colour there is %s)"
                  % (centre, self.display.pixel(*centre)), run)
        self.assertEqual(len(self.server.requests(NOTICE_CSS_PATH)), 1)
        stacking = self.display.root_children()
        self.assertGreater(stacking.index(popup), stacking.index(self.display.top_level_of(window)),
                           "the pop-up is stacked above the console window")
        self.assertEqual(self.display.active_window(), window, "the console keeps the focus")
        self.assertEqual(self.display.focused_window(), window, "the console keeps the focus")

        # The operator clicks into the console, which the window manager raises
        # before the click reaches the page: the pop-up stays above it.
        self.display.click(window, 600, 400)  # clear of the links and of the pop-up
        self.wait(lambda: self.server.reports("click"), "the page to see the click", run)
        stacking = self.display.root_children()
        self.assertGreater(stacking.index(popup), stacking.index(self.display.top_level_of(window)),
                           "the pop-up is still stacked above the console window")
        self.assertEqual(self.display.pixel(*centre), NOTICE_RGB)

        self.assertIsNone(self.command(run, "hidenotify"))
        self.wait(lambda: self.display.window_info(popup).get("map_state") == "IsUnMapped",
                  "the pop-up to be hidden", run)
        self.assertEqual(self.display.visible_windows(run.pid), [window])
        self.wait(lambda: self.display.pixel(*centre) != NOTICE_RGB,
                  "the console to show where the pop-up was", run)
        self.close_by_command(run)

    def test_reverse_lookup_and_sound(self):
        run = self.start("services")
        self.wait_ready(run)

        self.assertIsNone(self.command(run, "querydns:127.0.0.1"))
        answer = self.wait(lambda: self.server.reports("dns"), "HandleQueryDns to be called",
                           run)[0]["data"]
        self.assertEqual(answer, {"address": "127.0.0.1",
                                  "hostName": expected_host_name("127.0.0.1"), "count": 2})

        sound_url = self.server.url(SOUND_PATH)
        sound_file = os.path.join(run.tmp, "sound.wav")
        play_line = "Play file " + sound_file
        self.assertEqual(self.command(run, "playsound:" + sound_url), "OK")
        self.wait(lambda: play_line in run.stderr_lines(), "%r on standard error" % play_line,
                  run)
        with open(sound_file, "rb") as f:
            self.assertEqual(f.read(), self.server.sound)
        self.assertEqual([n for n in os.listdir(run.tmp) if n.startswith("sound.wav")],
                         ["sound.wav"], "no part of the fetch is left beside the sound")

        # Again: played from the file, not fetched again.
        self.assertEqual(self.command(run, "playsound:" + sound_url), "OK")
        self.wait(lambda: run.stderr_lines().count(play_line) == 2,
                  "a second %r on standard error" % play_line, run)
        self.assertEqual(len(self.server.requests(SOUND_PATH)), 1)
        self.close_by_command(run)

    def test_exit_prompt_through_the_window_manager(self):
        run = self.start("prompt")
        window = self.wait_ready(run)
        self.assertIsNone(self.command(run, "shownotify"))
        popup = self.wait(lambda: self.other_windows(run, window), "the pop-up to appear",
                          run)[0]

        def ask_to_close():
            self.wait_active(run, window)
            self.display.key("alt+F4")  # the window manager's close
            box = self.wait(lambda: self.other_windows(run, window, popup),
                            "the exit prompt to appear", run)
            self.assertEqual(len(box), 1, run.describe())
            box = box[0]
            self.assertEqual(self.display.window_title(box), "brindleton")
            self.assertEqual(self.display.transient_for(box), window,
                             "the prompt belongs to the console window")
            self.wait(lambda: self.display.focused_window() == box,
                      "the prompt to have the focus", run)
            return box

        def assert_still_running(box, answer):
            self.wait(lambda: box not in self.display.visible_windows(run.pid),
                      "the prompt to go after %s" % answer, run)
            # A bridge call needs the program's event loop: once it has been
            # answered, the close attempt has been dealt with.
            self.assertIsNone(self.command(run, "getlocaldata:none"))
            self.assertTrue(run.running(), "%s keeps the program running" % answer)
            self.assertEqual(self.display.visible_windows(run.pid), [window])

        box = ask_to_close()
        # Closing the console closes the pop-up first, whatever the answer.
        self.assertNotIn(popup, self.display.visible_windows(run.pid),
                         "the pop-up closed with the close attempt")
        self.display.key("Escape")
        assert_still_running(box, "Escape")

        box = ask_to_close()
        self.display.key("Return")  # Cancel is the default button
        assert_still_running(box, "Return")

        ask_to_close()
        self.display.key("Tab", "space")  # to OK, and press it
        self.assertExitsWithZero(run, "after OK in the exit prompt")


def main() -> None:
    global PROGRAM
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", help="the brindleton executable to test")
    args, rest = parser.parse_known_args()
    if args.program:
        PROGRAM = os.path.abspath(args.program)
    # Stopped from outside (a time-out, say): stop as on Ctrl+C, which unittest
    # does not take for a test's failure; the exit handlers then stop the
    # display and any program still running.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
