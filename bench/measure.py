"""The measurements: start-up and memory of every program, and the shell's own
work (pop-up, sounds, bridge calls, look-up bursts, a large download) in runs."""

import os
import re
import statistics
import subprocess
import tempfile
import threading
import time
import traceback

from common import (HOST, Hung, count_lines, fmt, fmt_list, harness, log, median_of, now)
import restart
from dns import DnsServer
from launch import Launch, pss_kib, rss_kib, thread_count
from pageserver import BIG_SOUND_BYTES, Channel, PageServer
from watch import FileWatch, XWatcher, ping_stats

OTHER_PROGRAMS = [
    ("bareview", "bare Qt WebEngine view, off-the-record profile (the floor)"),
    ("bareview-named", "bare Qt WebEngine view, named profile with disk cache"),
    ("chromium", "Chromium `--app`"),
]
FENCE_ADDRESS = "127.255.255.254"


class Bench:
    def __init__(self, args, shells):
        self.args = args
        self.shells = shells
        self.work = tempfile.mkdtemp(prefix="brindleton-bench-")
        self.noop_bin = os.path.join(self.work, "bin")
        os.makedirs(self.noop_bin)
        opener = os.path.join(self.noop_bin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\n# Opens nothing: notes the call only.\n'
                    'printf "%s\\n" "$*" >> "${NOOP_LOG:-/dev/null}"\n')
        os.chmod(opener, 0o755)
        # GStreamer's plugin registry, made once as on a desktop that has played a sound before;
        # a fresh home would have each start scan every plugin while it plays its first sound.
        self.gst_registry = os.path.join(self.work, "gstreamer-registry.bin")
        subprocess.run(["gst-inspect-1.0"], env=dict(os.environ, GST_REGISTRY_1_0=self.gst_registry),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.pages = PageServer()
        self.base = self.pages.base
        self.results = {"startup": {}, "drive": {s.key: [] for s in shells}, "user_agents": {},
                        "restart": {}}
        self.notes = []
        self.launches = 0
        self.dns = None
        self.resolv_conf = None
        self.sync_rtts = []
        self.loads = [os.getloadavg()[0]]
        try:
            # The shell's resolver is replaced in a mount namespace of its own:
            # that needs unshare and mount, and port 53.
            if subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                raise OSError("cannot make a mount namespace")
            self.dns = DnsServer()
            self.dns.start()
            self.resolv_conf = os.path.join(self.work, "resolv.conf")
            with open(self.resolv_conf, "w") as f:
                f.write("nameserver %s\noptions timeout:2 attempts:2\n" % HOST)
        except OSError as e:
            self.note("no resolver of the bench (%s): look-ups went to the machine's resolver"
                      % e)

    def programs(self):
        """(key, label, kind, binary) of everything started for start-up and memory."""
        return ([(s.key, s.label, "shell", s.binary) for s in self.shells] +
                [(k, label, k, None) for k, label in OTHER_PROGRAMS])

    def load_sample(self):
        self.loads.append(os.getloadavg()[0])

    def note(self, text):
        log("note:", text)
        if text not in self.notes:
            self.notes.append(text)

    def next_run(self, key):
        self.launches += 1
        return "%03d-%s" % (self.launches, re.sub(r"[^A-Za-z0-9]+", "-", key))

    # ---- start-up and memory

    def measure_start(self, key, kind, binary):
        launch = Launch(self, kind, self.next_run(key), "start", binary)
        try:
            launch.start()
            took = launch.wait_loaded()
            if kind == "shell" and launch.loaded_params.get("bridge") != "1":
                self.note("the bridge was missing in a start of %s" % key)
            time.sleep(self.args.settle)
            pss, count = launch.tree_pss_kib()
            return took * 1000.0, pss / 1024.0, count, launch.loaded_params.get("ua", "")
        finally:
            launch.stop()

    def startup(self):
        programs = self.programs()
        samples = {p[0]: {"ms": [], "mib": [], "procs": []} for p in programs}
        rounds = self.args.start_runs + 1  # the first round warms the file cache
        for r in range(rounds):
            for key, _, kind, binary in programs:
                self.load_sample()
                try:
                    ms, mib, procs, ua = self.measure_start(key, kind, binary)
                except (RuntimeError, harness.Timeout, OSError) as e:
                    self.note("a start of %s failed: %s" % (key, e))
                    continue
                self.results["user_agents"][kind] = ua
                log("start %-15s %7.1f ms  %6.1f MiB PSS in %d processes%s"
                    % (key, ms, mib, procs, "  (warm-up, not counted)" if r == 0 else ""))
                if r == 0:
                    continue
                samples[key]["ms"].append(ms)
                samples[key]["mib"].append(mib)
                samples[key]["procs"].append(procs)
        self.results["startup"] = samples

    # ---- the shell's own work, one start per run

    def bridge_commands(self):
        sound = self.base + "/sounds/short.wav"
        q = self.args.quick
        n = (lambda full: max(20, full // 10)) if q else (lambda full: full)
        return [
            # name, command text, calls, expected answer, setup, settle seconds
            ("getlocaldata", "getlocaldata:benchkey", n(2000), "stored value",
             ["setlocaldata:benchkey:stored value"], 0.1),
            ("setlocaldata", "setlocaldata:benchkey:stored value", n(1000), None, [], 0.1),
            ("setnotifytitle", "setnotifytitle:bench title", n(1000), None, [], 0.1),
            ("setnotifyhtml", "setnotifyhtml:<p>New call on <b>line 4</b></p>", n(500), None,
             [], 1.0),
            ("shownotify", "shownotify", n(1000), None, [], 0.2),
            ("hidenotify", "hidenotify", n(1000), None, [], 0.2),
            ("maximize", "maximize", n(1000), None, [], 0.2),
            ("open", "open:http://127.0.0.1:9/opened", n(200), None, [], 0.0),
            ("querydns", "querydns:127.0.0.1", n(1000), None, [], 0.0),
            ("playsound", "playsound:" + sound, n(100), "OK", [], 1.5),
            ("unknown", "nosuchcommand:argument", n(2000), None, [], 0.1),
        ]

    def drive_once(self, shell, index):
        run = self.next_run(shell.key + "-drive")
        launch = Launch(self, "shell", run, "drive", shell.binary)
        channel = Channel()
        with self.pages.lock:
            self.pages.channels[run] = channel
        watcher = None
        out = {}
        try:
            if self.dns:
                self.dns.delay = 0.0
            launch.start()
            watcher = XWatcher(launch.display.name)
            watcher.start()
            launch.wait_loaded()
            pid = launch.popen.pid
            time.sleep(1.0)
            out["popup"] = self.popup(launch, channel, watcher, index)
            out["sound"] = self.sound_latency(launch, channel)
            out["bridge"] = self.bridge(launch, channel)
            out["dns"] = self.dns_burst(launch, channel, watcher, pid, 0.0)
            if self.dns:
                out["dns_slow"] = self.dns_burst(launch, channel, watcher, pid,
                                                 self.args.dns_delay_ms / 1000.0)
                self.dns.delay = 0.0
            out["download"] = self.download(launch, channel, pid, index)
        finally:
            if watcher:
                watcher.close()
            launch.stop()
        return out

    def sync(self, channel):
        """Offset to add to the page's clock (ms) to get this script's (ms)."""
        best = channel.call("sync", rounds=15)
        self.sync_rtts.append(best["rtt"])
        return best["offset"], best["rtt"]

    def popup(self, launch, channel, watcher, index):
        shows, calls = [], []
        for i in range(self.args.popups):
            title = "bench pop-up %s %d-%d" % (launch.run, index, i)
            channel.call("calls", cmds=["setnotifytitle:" + title,
                                        "setnotifyhtml:<p>Call waiting on line %d</p>" % i])
            time.sleep(0.3)
            offset, _ = self.sync(channel)
            before = now()
            r = channel.call("calls", cmds=["shownotify"])
            sent = (r["at"] + offset) / 1000.0
            calls.append(r["durations"][-1])
            mapped = watcher.wait_map(title, before - 1.0, 10)
            if mapped is None:
                self.note("%s: a pop-up was not seen mapped within 10 s" % launch.run)
                shows.append(None)
            else:
                shows.append((mapped - sent) * 1000.0)
            time.sleep(0.3)
            channel.call("calls", cmds=["hidenotify"])
            time.sleep(0.3)
        log("pop-up shown after (ms):", fmt_list(shows), "call took", fmt_list(calls))
        return {"first": shows[0], "later": median_of(shows[1:]),
                "call_first": calls[0], "call_later": median_of(calls[1:])}

    def sound_latency(self, launch, channel):
        url = self.base + "/sounds/short.wav"
        path = os.path.join(launch.env["TMPDIR"], "short.wav")
        t = now()
        r = channel.call("calls", cmds=["playsound:" + url])
        if r["results"][-1] != "OK":
            self.note("playsound answered %r, not \"OK\"" % (r["results"][-1],))
        if not launch.stderr.wait_for(r"^Play file .*short\.wav$", t, 20):
            raise Hung("the \"Play file\" line of the first sound", 20, launch.dir)
        if os.path.getsize(path) != len(self.pages.short):
            self.note("the cached sound has the wrong size")
        time.sleep(1.0)
        watch = FileWatch(path)
        watch.start()
        logged, opened, read, calls = [], [], [], []
        try:
            for _ in range(self.args.sounds):
                offset, _ = self.sync(channel)
                before = now()
                r = channel.call("calls", cmds=["playsound:" + url])
                sent = (r["at"] + offset) / 1000.0
                calls.append(r["durations"][-1])
                line = launch.stderr.wait_for(r"^Play file .*short\.wav$", before, 10)
                time.sleep(0.8)
                logged.append((line[0] - sent) * 1000.0 if line else None)
                o = watch.first(FileWatch.IN_OPEN, before)
                a = watch.first(FileWatch.IN_ACCESS, before)
                opened.append((o - sent) * 1000.0 if o else None)
                read.append((a - sent) * 1000.0 if a else None)
        finally:
            watch.close()
        log("sound: logged", fmt_list(logged), "opened", fmt_list(opened), "read", fmt_list(read),
            "call took", fmt_list(calls))
        if all(v is None for v in opened):
            self.note("no player opened the cached sound file (inotify saw no open)")
        return {"logged": median_of(logged), "opened": median_of(opened),
                "read": median_of(read), "call": median_of(calls)}

    def bridge(self, launch, channel):
        page, through = {}, {}
        for name, cmd, n, expect, setup, settle in self.bridge_commands():
            opened_before = count_lines(launch.env["NOOP_LOG"])
            if name == "querydns":
                channel.call("resetdns")
            r = channel.call("bridge", cmd=cmd, n=n, setup=setup, fence=FENCE_ADDRESS,
                             waitDns=n + 1 if name == "querydns" else 0, timeout=600)
            if r["last"] != expect or r["first"] != expect:
                self.note("`%s` answered %r, expected %r" % (name, r["last"], expect))
            if r["throughUs"] is None:
                self.note("%s: `%s` was not seen through the shell (no fence answer)"
                          % (launch.run, name))
            time.sleep(settle)
            if name == "open":
                # Every call must have started the desktop's opener once.
                deadline = now() + 15
                while count_lines(launch.env["NOOP_LOG"]) - opened_before < n + 1 and \
                        now() < deadline:
                    time.sleep(0.05)
                opened = count_lines(launch.env["NOOP_LOG"]) - opened_before
                if opened != n + 1:
                    self.note("open: the desktop opener ran %d times for %d calls"
                              % (opened, n + 1))
            page[name] = r["us"]
            through[name] = r["throughUs"]
        log("bridge (us/call in the page):", ", ".join("%s %.0f" % kv for kv in page.items()))
        log("bridge (us/call through the shell):",
            ", ".join("%s %s" % (k, fmt(v)) for k, v in through.items()))
        return {"page": page, "through": through}

    def dns_burst(self, launch, channel, watcher, pid, delay):
        if self.dns:
            self.dns.delay = delay
        wid = watcher.find_client(pid)
        if wid is None:
            raise Hung("the console window to show on the display", 10, launch.dir)
        # The probe's own latency while the shell is idle.
        watcher.start_pings(wid)
        time.sleep(0.5)
        idle = ping_stats(watcher.stop_pings(), 0, now(), now())
        threads_before = thread_count(pid)
        peak = [threads_before]
        sampling = [True]

        def sample():
            while sampling[0]:
                peak[0] = max(peak[0], thread_count(pid))
                time.sleep(0.01)

        sampler = threading.Thread(target=sample, daemon=True)
        offset, _ = self.sync(channel)
        watcher.start_pings(wid)
        sampler.start()
        r = channel.call("dnsburst", n=self.args.dns, timeoutMs=120000, timeout=200)
        time.sleep(0.1)
        pings = watcher.stop_pings()
        sampling[0] = False
        sampler.join()
        time.sleep(1.0)
        threads_after = thread_count(pid)
        if not r["ok"] or r["count"] != self.args.dns or r["distinct"] != self.args.dns:
            self.note("DNS burst: %d answers for %d distinct addresses of %d"
                      % (r["count"], r["distinct"], self.args.dns))
        names = r.get("names", {})
        if names.get("127.0.0.1") != "localhost":
            self.note("DNS burst: 127.0.0.1 came back as %r" % (names.get("127.0.0.1"),))
        if self.dns:
            wrong = [a for a, n in names.items()
                     if a != "127.0.0.1" and n != DnsServer.name_of(a)]
            if wrong:
                self.note("DNS burst: %d addresses came back with another's name or none, "
                          "e.g. %s -> %r" % (len(wrong), wrong[0], names[wrong[0]]))
        t0 = (r["t0"] + offset) / 1000.0
        t_last = (r["tLast"] + offset) / 1000.0
        during = ping_stats(pings, t0, t_last, now())
        res = {
            "total_ms": r["tLast"] - r["t0"],
            "send_ms": r["tLoop"] - r["t0"],
            "after_send_ms": r["tLast"] - r["tLoop"],
            "page_gap_ms": r["maxGapMs"],
            "ping_max_ms": during["max"] if during else None,
            "ping_p99_ms": during["p99"] if during else None,
            "ping_idle_ms": idle["median"] if idle else None,
            "ping_idle_max_ms": idle["max"] if idle else None,
            "threads_before": threads_before,
            "threads_peak": peak[0],
            "threads_after": threads_after,
        }
        log("dns burst:", ", ".join("%s %s" % (k, fmt(v)) for k, v in res.items()))
        return res

    def download(self, launch, channel, pid, index):
        name = "big-%d.wav" % index
        url = self.base + "/sounds/" + name
        samples = []  # (time, pss KiB, rss KiB)
        stop = [False]

        def sample():
            while not stop[0]:
                samples.append((now(), pss_kib(pid), rss_kib(pid)))
                time.sleep(0.02)

        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        time.sleep(1.0)
        started = now()
        channel.call("calls", cmds=["playsound:" + url])
        line = launch.stderr.wait_for(r"^Play file .*" + re.escape(name) + "$", started, 120)
        done = line[0] if line else None
        time.sleep(1.5)
        stop[0] = True
        sampler.join()
        if done is None:
            self.note("the 50 MB sound was not played within 120 s")
            return None
        path = os.path.join(launch.env["TMPDIR"], name)
        if os.path.getsize(path) != BIG_SOUND_BYTES:
            self.note("the 50 MB sound was stored with %d bytes" % os.path.getsize(path))
        base = [s for s in samples if s[0] < started]
        during = [s for s in samples if started <= s[0] <= done]
        after = [s for s in samples if s[0] > done]
        if not base or not during:
            self.note("too few memory samples around the download")
            return None
        pss0 = statistics.median(s[1] for s in base)
        rss0 = statistics.median(s[2] for s in base)
        res = {
            "seconds": done - started,
            "samples": len(during),
            "pss_growth_mib": (max(s[1] for s in during) - pss0) / 1024.0,
            "rss_growth_mib": (max(s[2] for s in during) - rss0) / 1024.0,
            "pss_growth_after_mib": (max(s[1] for s in after) - pss0) / 1024.0 if after else None,
            "baseline_pss_mib": pss0 / 1024.0,
        }
        log("download:", ", ".join("%s %s" % (k, fmt(v)) for k, v in res.items()))
        return res

    def restart(self):
        for shell in self.shells:
            log("renderer restarts of", shell.label)
            self.load_sample()
            try:
                self.results["restart"][shell.key] = restart.measure(self, shell, self.args.kills)
            except (RuntimeError, harness.Timeout, OSError) as e:
                self.note("the renderer restarts of %s failed: %s" % (shell.label, e))

    def drive(self):
        for i in range(self.args.runs):
            for shell in self.shells:
                log("run %d of %d of %s" % (i + 1, self.args.runs, shell.label))
                self.load_sample()
                try:
                    self.results["drive"][shell.key].append(self.drive_once(shell, i))
                except (RuntimeError, harness.Timeout, OSError, KeyError, TypeError) as e:
                    traceback.print_exc()
                    self.note("run %d of %s failed: %s" % (i + 1, shell.label, e))
