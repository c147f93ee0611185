"""Floods, a compressed shift and the GUI thread's cost of single commands
(bench/run --only flood, --only shift, --only guicost; docs/bench-method.md
tells how each figure is measured).

Every wait has a deadline: a program that hangs or ends is reported with the
step it was at, and what was sampled until then is kept.
"""

import collections
import os
import re
import statistics
import threading
import time

from common import BUILD_DIR, Hung, count_lines, fmt, harness, log, now
from launch import (Launch, fd_count, fd_kinds, pss_kib, rollup_kib, rss_kib, snapshot,
                    thread_count)
from pageserver import Channel
from watch import XWatcher, ping_stats

PARTS = ["flood", "shift", "guicost"]

FLOOD_SOUNDS = 10000
FLOOD_LOOKUPS = 10000
# Targets, for the report's "met" column.
FLOOD_FILES_ABOVE_IDLE = 256
FLOOD_THREADS_ABOVE_IDLE = 40
FLOOD_TASK_MS = 8.0      # one pass of the GUI thread's event loop
FLOOD_PING_P99_MS = 16.0
SHIFT_GROWTH = 0.05
COMMAND_COST_MS = 2.0

# A full shift: (mixed commands, pop-up shows, sounds, look-ups, reloads).
SHIFT_FULL = (200000, 20000, 5000, 20000, 500)
SHIFT_SOUND_NAMES = 20  # an operator's alerts come from a small set
MIXED = ["getlocaldata:shiftkey", "setlocaldata:shiftkey:value %d",
         "setnotifytitle:Call %d waiting", "setnotifyhtml:<p>Caller <b>%d</b> on line 4</p>",
         "hidenotify", "maximize", "nosuchcommand:%d"]
PLAYBACK_ERRORS = re.compile(r"^Error: (The sound did not play|Sound output is not responding)")
FETCH_END = re.compile(r"^(Error: |Unable to save the file)")


class Ended(RuntimeError):
    """The program ended during a step."""

    def __init__(self, step, status):
        super().__init__("ended (status %s) during: %s" % (status, step))


class Sampler(threading.Thread):
    """Open files, threads, PSS, RSS and anonymous memory (the heap and the threads' stacks)
    of one process, every `interval` seconds."""

    def __init__(self, pid, interval=0.02):
        super().__init__(daemon=True)
        self.pid, self.interval = pid, interval
        self.samples = []  # (time, files, threads, pss KiB, rss KiB, anonymous KiB)
        self.stop_flag = False

    def run(self):
        while not self.stop_flag:
            memory = rollup_kib(self.pid)
            self.samples.append((now(), fd_count(self.pid), thread_count(self.pid),
                                 memory.get("Pss", 0), rss_kib(self.pid),
                                 memory.get("Anonymous", 0)))
            time.sleep(self.interval)

    def peak(self, index):
        values = [s[index] for s in self.samples if s[index]]
        return max(values) if values else None

    def close(self):
        self.stop_flag = True
        self.join(2)


def settle(session, quiet=5.0, timeout=60.0):
    """Seconds until the main process's open files and threads have stayed the
    same for `quiet` seconds (work still under way, such as queued sounds, has
    ended); at most `timeout`."""
    pid, t0 = session.pid, now()
    last, since = None, now()
    while now() - t0 < timeout:
        session.alive()
        counts = (fd_count(pid), thread_count(pid))
        if counts != last:
            last, since = counts, now()
        elif now() - since >= quiet:
            break
        time.sleep(0.25)
    return now() - t0


LOOPTIME = os.path.join(BUILD_DIR, "bench", "liblooptime.so")


def time_loop(launch, binary):
    """Has the shell started by launch time its GUI thread's event-loop passes
    (bench/looptime.cpp); returns the file the figures go to, or None without the library."""
    if not os.path.exists(LOOPTIME):
        return None
    path = os.path.join(launch.dir, "looptime.log")
    launch.env.update(LD_PRELOAD=LOOPTIME, BENCH_LOOP_FILE=path,
                      BENCH_LOOP_EXE=os.path.realpath(binary), BENCH_LOOP_MIN_MS="1")
    return path


def loop_stats(path, start, end):
    """The event-loop passes that the library recorded between start and end (the bench's
    clock, s). The longest (wall ms; its time on a processor, waiting for one, and blocked;
    when, in s from start); the longest less its waits for a processor; how many passes took
    longer than FLOOD_TASK_MS either way; about how many passes there were; and which call
    the loop waits in. None if the file is missing."""
    passes, counts, found = [], [], None
    try:
        with open(path) as f:
            lines = [line.split() for line in f if line.endswith("\n")]  # whole lines only
    except OSError:
        return None
    for w in lines:
        if w[0] == "pass" and len(w) == 6:
            passes.append(tuple(float(x) for x in w[1:]))
        elif w[0] == "count" and len(w) == 6:
            counts.append((float(w[1]),) + tuple(int(x) for x in w[2:]))
        elif w[0] == "loop" and len(w) == 3:
            found = w[2] == "found"
    if not found or not counts:
        return {"loop_found": found}
    # (start, wall, on a processor, waiting for one, in other polls), passes that overlap
    # the window
    inside = [p for p in passes if p[0] <= end and p[0] + p[1] / 1000.0 >= start]
    before = [c for c in counts if c[0] <= start]
    upto = [c for c in counts if c[0] <= end] or counts[:1]
    last = counts[-1]
    res = {"loop_found": True,
           "loop_passes": upto[-1][1] - (before[-1][1] if before else 0),
           "loop_over_target": sum(1 for p in inside if p[1] > FLOOD_TASK_MS),
           "loop_own_over_target": sum(1 for p in inside if p[1] - p[3] > FLOOD_TASK_MS),
           "loop_wait": " and ".join(n for n, c in (("poll", last[2]), ("ppoll", last[3])) if c),
           "loop_other_polls": last[4],
           "loop_max_ms": 0.0, "loop_own_max_ms": 0.0}  # no pass reached the library's 1 ms
    if inside:
        worst = max(inside, key=lambda p: p[1])
        own = max(inside, key=lambda p: p[1] - p[3])
        res.update(loop_max_ms=worst[1], loop_max_cpu_ms=worst[2], loop_max_delay_ms=worst[3],
                   loop_max_polls_ms=worst[4],
                   loop_max_blocked_ms=max(0.0, worst[1] - worst[2] - worst[3] - worst[4]),
                   loop_max_at_s=worst[0] - start,
                   loop_own_max_ms=own[1] - own[3], loop_own_max_at_s=own[0] - start)
    return res


class Session:
    """One start of a shell in drive mode, with its page's channel and an X watcher;
    with timed_loop, its GUI thread's event-loop passes are timed (self.loop_file)."""

    def __init__(self, bench, shell, tag, timed_loop=False):
        self.bench = bench
        self.launch = Launch(bench, "shell", bench.next_run(shell.key + "-" + tag), "drive",
                             shell.binary)
        self.loop_file = time_loop(self.launch, shell.binary) if timed_loop else None
        if timed_loop and not self.loop_file:
            bench.note("no %s (build with -DBRINDLETON_BUILD_BENCH=ON): the GUI thread's "
                       "event-loop passes were not timed" % LOOPTIME)
        self.channel = Channel()
        with bench.pages.lock:
            bench.pages.channels[self.launch.run] = self.channel
        self.watcher = None
        self.step = "the start"

    def __enter__(self):
        try:
            self.bench.load_sample()
            if self.bench.dns:
                self.bench.dns.delay = 0.0
            self.launch.start()
            self.watcher = XWatcher(self.launch.display.name)
            self.watcher.start()
            self.launch.wait_loaded()
            self.pid = self.launch.popen.pid
            self.at("the console window to show")
            self.wid = self.watcher.find_client(self.pid)
            if self.wid is None:
                raise Hung("the console window to show", 10, self.launch.dir)
            time.sleep(1.0)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.bench.load_sample()
        self.close()

    def close(self):
        if self.watcher:
            self.watcher.close()
        self.launch.stop()

    def at(self, step):
        self.step = step
        log(self.launch.run + ":", step)

    def alive(self):
        status = self.launch.popen.poll()
        if status is not None:
            raise Ended(self.step, status)

    def wait(self, condition, timeout, interval=0.05):
        """condition()'s first true value; Hung naming the step after timeout s."""
        deadline = now() + timeout
        while True:
            value = condition()
            if value:
                return value
            self.alive()
            if now() >= deadline:
                raise Hung("%s: %s" % (self.launch.run, self.step), timeout, self.launch.dir)
            time.sleep(interval)

    def ask(self, op, timeout, **args):
        """The page's answer to one task; Hung or Ended naming the step."""
        args["op"] = op
        self.channel.tasks.put(args)
        box = []

        def answered():
            try:
                box.append(self.channel.results.get(timeout=0.2))
            except Exception:
                return False
            return True

        self.wait(answered, timeout, 0)
        if isinstance(box[0], dict) and "error" in box[0]:
            raise RuntimeError("task %r failed in the page: %s" % (op, box[0]["error"]))
        return box[0]

    def lines(self, pattern):
        return self.launch.stderr.count(pattern)

    def sounds_ended(self, names_rx):
        """Sounds of the names with their "Play file" line, and fetch-ending error lines."""
        rx = re.compile(r"^Play file .*/(" + names_rx + r")$")
        played, errors = set(), 0
        with self.launch.stderr.cond:
            for _, line in self.launch.stderr.lines:
                m = rx.search(line)
                if m:
                    played.add(m.group(1))
                elif FETCH_END.search(line) and not PLAYBACK_ERRORS.search(line):
                    errors += 1
        return len(played), errors


def failure(e):
    return str(e) if isinstance(e, (Hung, Ended)) else "%s: %s" % (type(e).__name__, e)


# ---- flood


def flood(bench, shell):
    res = {"sounds": FLOOD_SOUNDS, "lookups": FLOOD_LOOKUPS}
    sampler = None
    s = Session(bench, shell, "flood", timed_loop=True)
    try:
        with s:
            s.at("idle figures")
            idle = snapshot(s.pid)
            res.update(idle_files=idle["files"], idle_threads=idle["threads"],
                       idle_pss_mib=idle["pss_mib"])
            s.watcher.start_pings(s.wid)
            time.sleep(0.5)
            idle_ping = ping_stats(s.watcher.stop_pings(), 0, now(), now())
            res["ping_idle_ms"] = idle_ping["median"] if idle_ping else None
            sampler = Sampler(s.pid)
            sampler.start()
            s.watcher.start_pings(s.wid)
            t0 = now()
            try:
                s.at("the page's task sending the flood")
                r = s.ask("flood", 120, sounds=FLOOD_SOUNDS, lookups=FLOOD_LOOKUPS,
                          address="127.0.0.1",
                          soundBase=bench.base + "/sounds/short-flood-")
                res["loop_ms"] = r["loopMs"]
                res["answer"] = r["last"]
                s.at("the %d look-ups to reach HandleQueryDns" % FLOOD_LOOKUPS)
                s.wait(lambda: s.ask("dnscount", 30)["count"] >= FLOOD_LOOKUPS, 180, 0.5)
                s.at("the %d sounds' \"Play file\" or error lines" % FLOOD_SOUNDS)
                s.wait(lambda: sum(s.sounds_ended(r"short-flood-\d+\.wav")) >= FLOOD_SOUNDS,
                       180, 0.5)
                res["seconds"] = now() - t0
                time.sleep(1.0)
            except (RuntimeError, harness.Timeout) as e:
                res["failed"] = failure(e)
                log("flood of", shell.label, "failed:", e)
            finally:
                pings = s.watcher.stop_pings()
                end = now()
                sampler.close()
                stall = ping_stats(pings, t0, end, end)
                res["ping_max_ms"] = stall["max"] if stall else None
                res["ping_p99_ms"] = stall["p99"] if stall else None
                res["ping_max_at_s"] = stall["max_at_s"] if stall else None
                if s.loop_file:
                    loop = loop_stats(s.loop_file, t0, end)
                    if not loop or not loop.get("loop_found"):
                        bench.note("%s: the event-loop timing recorded no pass (%s)"
                                   % (s.launch.run, s.loop_file))
                    res.update(loop or {})
                try:
                    res["answered"] = s.ask("dnscount", 10)["count"]
                except (RuntimeError, harness.Timeout):
                    res["answered"] = None
                played, errors = s.sounds_ended(r"short-flood-\d+\.wav")
                res.update(played=played, sound_errors=errors)
                if s.launch.popen.poll() is None:
                    res["end_pss_mib"] = pss_kib(s.pid) / 1024.0
                else:
                    res["status"] = s.launch.popen.returncode
    except (RuntimeError, harness.Timeout, OSError) as e:
        res.setdefault("failed", failure(e))
    if sampler and sampler.samples:
        res["peak_files"] = sampler.peak(1)
        res["peak_threads"] = sampler.peak(2)
        res["peak_pss_mib"] = sampler.peak(3) / 1024.0
    log("flood:", ", ".join("%s %s" % (k, fmt(v)) for k, v in res.items()))
    return res


# ---- a shift


def playback_over(pid, folder, quiet=3.0):
    """A condition for Session.wait: true once the files in folder that are open (the
    sounds being played) have stayed the same for `quiet` s. A player that was abandoned
    keeps its file open for good."""
    last = [now(), None]

    def over():
        playing = [kind for kind in fd_kinds(pid) if kind.startswith(folder + "/")]
        if playing != last[1]:
            last[:] = [now(), playing]
        return now() - last[0] >= quiet
    return over


def shift_plan(scale):
    mixed, shows, sounds, lookups, reloads = (max(1, n // scale) for n in SHIFT_FULL)
    rounds = reloads
    return {"scale": scale, "mixed": mixed, "shows": shows, "sounds": sounds,
            "lookups": lookups, "reloads": reloads, "rounds": rounds}


def shift_round(plan, index, sound_base):
    """The commands of one round, the kinds spread evenly through it."""
    rounds = plan["rounds"]

    def share(total):
        return total // rounds + (1 if index < total % rounds else 0)

    kinds = []
    for i in range(share(plan["mixed"])):
        text = MIXED[i % len(MIXED)]
        kinds.append(text % i if "%d" in text else text)
    for i in range(share(plan["shows"])):
        kinds.append("shownotify")
    for i in range(share(plan["sounds"])):
        kinds.append("playsound:%s%d.wav" % (sound_base, (index + i) % SHIFT_SOUND_NAMES))
    for i in range(share(plan["lookups"])):
        kinds.append("querydns:127.0.0.1")
    step = 7919  # a prime: spreads each kind through the round
    n = len(kinds)
    return [kinds[(i * step) % n] for i in range(n)] if n % step else kinds


def shift(bench, shell, scale):
    plan = shift_plan(scale)
    res = dict(plan)
    s = Session(bench, shell, "shift")
    marks = []
    t0 = now()
    try:
        with s:
            sound_base = bench.base + "/sounds/short-shift-"
            sent_sounds = 0
            for index in range(plan["rounds"]):
                cmds = shift_round(plan, index, sound_base)
                lookups = sum(1 for c in cmds if c.startswith("querydns:"))
                sent_sounds += sum(1 for c in cmds if c.startswith("playsound:"))
                s.at("round %d: its commands" % (index + 1))
                s.ask("resetdns", 30)
                s.ask("burst", 120, cmds=cmds)
                s.at("round %d: its %d look-ups" % (index + 1, lookups))
                s.wait(lambda: s.ask("dnscount", 30)["count"] >= lookups, 120, 0.2)
                s.at("round %d: its sounds' \"Play file\" or error lines" % (index + 1))
                s.wait(lambda: s.lines(r"^Play file .*short-shift-") +
                       s.sounds_ended("-")[1] >= sent_sounds, 120, 0.2)
                s.at("round %d: the reload" % (index + 1))
                before = now()
                s.ask("reload", 30)
                s.launch.wait_loaded(before, 60, "the load after the reload of round %d"
                                     % (index + 1))
                # Every mark ends a whole round, its reload included, as the last one does.
                if index in (0, plan["rounds"] // 2):
                    s.at("round %d: quiet" % (index + 1))
                    waited = settle(s)
                    marks.append(dict(snapshot(s.pid), settled_s=waited))
                    log("shift round %d:" % (index + 1),
                        {k: v for k, v in marks[-1].items() if k != "fds"})
            # Sounds play one after another, at most two at a time, for longer than the
            # compressed shift takes to ask for them: the end is when the last has played.
            s.at("the end: the queued sounds' playback")
            s.wait(playback_over(s.pid, s.launch.env["TMPDIR"]), 900, 0.25)
            s.at("the end: quiet")
            waited = settle(s)
            marks.append(dict(snapshot(s.pid, 2.0), settled_s=waited))
    except (RuntimeError, harness.Timeout, OSError) as e:
        res["failed"] = failure(e)
        res["failed_at"] = s.step
    res["seconds"] = now() - t0
    if marks:
        res["start"] = marks[0]
        res["half"] = marks[1] if len(marks) > 1 else None
    if len(marks) == 3:
        res["end"] = marks[2]
        # Which files the shift left open that were not open after its first round, and back.
        first, last = (collections.Counter(m["fds"]) for m in (marks[0], marks[2]))
        res["files_opened"] = sorted((last - first).elements())
        res["files_closed"] = sorted((first - last).elements())
    for m in marks:
        m.pop("fds")
    log("shift:", ", ".join("%s %s" % (k, fmt(v)) for k, v in res.items()))
    return res


# ---- the GUI thread's cost of one command


def guicost(bench, shell, n=100, gap_ms=50):
    res = {}
    try:
        with Session(bench, shell, "guicost") as s:
            url = bench.base + "/sounds/short.wav"
            s.at("the first sound's \"Play file\" line (to cache it)")
            s.ask("calls", 30, cmds=["playsound:" + url])
            s.wait(lambda: s.lines(r"^Play file .*short\.wav$") >= 1, 30)
            time.sleep(1.0)
            s.watcher.start_pings(s.wid)
            time.sleep(1.0)
            idle = ping_stats(s.watcher.stop_pings(), 0, now(), now())
            res["ping_idle_ms"] = idle["median"] if idle else None
            res["ping_idle_max_ms"] = idle["max"] if idle else None
            for name, cmd in (("open", "open:http://127.0.0.1:9/opened"),
                              ("playsound", "playsound:" + url)):
                opened = count_lines(s.launch.env["NOOP_LOG"])
                played = s.lines(r"^Play file .*short\.wav$")
                offset = bench.sync(s.channel)[0]
                s.at("%d paced `%s` calls" % (n, name))
                s.watcher.start_pings(s.wid)
                r = s.ask("paced", 60, cmd=cmd, n=n, gapMs=gap_ms)
                time.sleep(0.3)
                pings = s.watcher.stop_pings()
                final = now()
                at = [(t + offset) / 1000.0 for t in r["at"]]
                st = ping_stats(pings, at[0], at[-1] + 0.2, final)
                # Each call's own figure: the longest wait of the pings sent from
                # one probe interval before it until one before the next call.
                lead = XWatcher.PING_INTERVAL
                ends = at[1:] + [at[-1] + gap_ms / 1000.0]
                per_call = [w["max"] for w in (ping_stats(pings, a - lead, e - lead, final)
                                               for a, e in zip(at, ends)) if w]
                res[name] = {"max": st["max"], "p99": st["p99"], "median": st["median"],
                             "pings": st["count"],
                             "call_median": statistics.median(per_call) if per_call else None,
                             "call_p90": sorted(per_call)[int(len(per_call) * 0.9)]
                             if per_call else None} if st else None
                if name == "open":
                    s.at("the desktop opener to run %d times" % n)
                    s.wait(lambda: count_lines(s.launch.env["NOOP_LOG"]) - opened >= n, 30)
                else:
                    s.at("%d \"Play file\" lines" % n)
                    s.wait(lambda: s.lines(r"^Play file .*short\.wav$") - played >= n, 60)
                log("guicost %s:" % name, res[name])
    except (RuntimeError, harness.Timeout, OSError) as e:
        res["failed"] = failure(e)
    return res


# ---- the parts and the report


# The flood's table: (figure, its cell from one start's results, target, whether a start's
# results meet the target or None where there is none). bench/run --merge shows the same rows.
FLOOD_ROWS = [
    ("outcome", lambda r: cell_failed(r) or "all done in %.1f s" % r["seconds"], "",
     lambda r: None),
    ("sounds with \"Play file\" / with an error line, of %d" % FLOOD_SOUNDS,
     lambda r: "%d / %d" % (r["played"], r["sound_errors"]), "nothing lost",
     lambda r: r["played"] + r["sound_errors"] >= FLOOD_SOUNDS),
    ("look-ups answered to `HandleQueryDns`, of %d" % FLOOD_LOOKUPS,
     lambda r: "%d" % r["answered"], "nothing lost",
     lambda r: r["answered"] >= FLOOD_LOOKUPS),
    ("open files: idle → peak (above idle)",
     lambda r: "%d → %d (+%d)" % (r["idle_files"], r["peak_files"],
                                  r["peak_files"] - r["idle_files"]),
     "≤ +%d" % FLOOD_FILES_ABOVE_IDLE,
     lambda r: r["peak_files"] - r["idle_files"] <= FLOOD_FILES_ABOVE_IDLE),
    ("threads: idle → peak (above idle)",
     lambda r: "%d → %d (+%d)" % (r["idle_threads"], r["peak_threads"],
                                  r["peak_threads"] - r["idle_threads"]),
     "≤ +%d" % FLOOD_THREADS_ABOVE_IDLE,
     lambda r: r["peak_threads"] - r["idle_threads"] <= FLOOD_THREADS_ABOVE_IDLE),
    ("PSS of the main process: idle → peak (growth), MiB",
     lambda r: "%.1f → %.1f (+%.1f)" % (r["idle_pss_mib"], r["peak_pss_mib"],
                                        r["peak_pss_mib"] - r["idle_pss_mib"]),
     "", lambda r: None),
    ("longest GUI-thread task (one pass of its event loop), wall ms (on a processor / waiting "
     "for one / in other libraries' polls / blocked otherwise; when, from the task)",
     lambda r: "%.1f (%.1f / %.1f / %.1f / %.1f; %.1f s)" % (
         r["loop_max_ms"], r["loop_max_cpu_ms"], r["loop_max_delay_ms"], r["loop_max_polls_ms"],
         r["loop_max_blocked_ms"], r["loop_max_at_s"]) if "loop_max_at_s" in r
     else "%.1f" % r["loop_max_ms"],
     "≤ %g" % FLOOD_TASK_MS,
     lambda r: r["loop_max_ms"] <= FLOOD_TASK_MS and not r.get("failed")),
    ("longest GUI-thread task less its waits for a processor, ms (when)",
     lambda r: "%.1f (%.1f s)" % (r["loop_own_max_ms"], r["loop_own_max_at_s"])
     if "loop_own_max_at_s" in r else "%.1f" % r["loop_own_max_ms"],
     "≤ %g" % FLOOD_TASK_MS,
     lambda r: r["loop_own_max_ms"] <= FLOOD_TASK_MS and not r.get("failed")),
    ("GUI-thread tasks longer than %g ms, wall / less the waits, of all its passes (about)"
     % FLOOD_TASK_MS,
     lambda r: "%d / %d of %d" % (r["loop_over_target"], r["loop_own_over_target"],
                                  r["loop_passes"]), "", lambda r: None),
    ("99th percentile `_NET_WM_PING` wait (idle median), ms",
     lambda r: "%.1f (%.2f)" % (r["ping_p99_ms"], r["ping_idle_ms"]),
     "≤ %g" % FLOOD_PING_P99_MS,
     lambda r: r["ping_p99_ms"] <= FLOOD_PING_P99_MS and not r.get("failed")),
    ("longest `_NET_WM_PING` wait, ms (when, from the task)",
     lambda r: "%.1f (%.1f s)" % (r["ping_max_ms"], r["ping_max_at_s"]), "", lambda r: None),
    ("the page's sending loop, ms", lambda r: "%.0f" % r["loop_ms"], "", lambda r: None),
]


def row_cell(cell, r):
    """A row's cell for one start's results; n/a where a figure is missing."""
    try:
        v = cell(r)
    except (KeyError, TypeError):
        v = None
    return "n/a" if v is None else v


def row_met(ok, r):
    """True or False against the row's target, None without one; a missing figure fails."""
    try:
        return ok(r)
    except (KeyError, TypeError):
        return False


def run_part(bench, part):
    out = bench.results.setdefault(part, {})
    for shell in bench.shells:
        log("%s of %s" % (part, shell.label))
        if part == "flood":
            out[shell.key] = flood(bench, shell)
        elif part == "shift":
            out[shell.key] = shift(bench, shell, bench.args.shift_scale)
        else:
            out[shell.key] = guicost(bench, shell)


def cell_failed(r):
    """A failure for the report: the logs it names are gone by then."""
    if not r or not r.get("failed"):
        return ""
    text = re.sub(r"^(Hung|Ended): ", "", r["failed"].split("; see ")[0])
    return "**%s**" % text.replace("|", "\\|")


def met(ok):
    return "" if ok is None else ("yes" if ok else "no")


def table_head(shells):
    return ("| figure | " + " | ".join(s.label for s in shells) + " | target | met |",
            "|---|" + "---|" * (len(shells) + 2))


def rows_table(w, shells, runs, rows):
    """A table of rows such as FLOOD_ROWS, a column for each shell's results in runs; the
    verdict is the last shell's."""
    for line in table_head(shells):
        w(line)
    last = runs.get(shells[-1].key) if shells else None
    for label, cell, target, ok in rows:
        cells = [row_cell(cell, runs.get(s.key)) for s in shells]
        w("| %s | %s | %s | %s |" % (label, " | ".join(cells), target,
                                     met(row_met(ok, last)) if last else ""))
    w("")


def report_section(b, w):
    """The tables of the parts that ran."""
    shells = b.shells
    res = b.results
    head, rule = table_head(shells)

    def last_ok(rows):
        return rows[shells[-1].key] if shells else None

    if "flood" in res:
        w("### %d sounds and %d look-ups in one script task" % (FLOOD_SOUNDS, FLOOD_LOOKUPS))
        w("")
        rows_table(w, shells, res["flood"], FLOOD_ROWS)

    if "shift" in res:
        sh = res["shift"]
        any_r = next(iter(sh.values()))
        w("### An operator's shift, compressed %d×" % any_r["scale"])
        w("")
        w("%d mixed commands, %d pop-up shows, %d sounds (%d names), %d look-ups and %d "
          "reloads, in %d rounds (a full shift divided by %d). Main process, after the first "
          "round → after the middle one → at the end, each after a round's reload and once "
          "its open files and threads had stayed the same for 5 s (at most 60 s)."
          % (any_r["mixed"], any_r["shows"], any_r["sounds"], SHIFT_SOUND_NAMES,
             any_r["lookups"], any_r["reloads"], any_r["rounds"], any_r["scale"]))
        w("")
        w(head)
        w(rule)
        labels = [("outcome", None), ("PSS, MiB", "pss_mib"),
                  ("private memory (not a target), MiB", "private_mib"),
                  ("open files", "files"), ("threads", "threads")]
        for label, key in labels:
            cells = []
            for s in shells:
                r = sh[s.key]
                if key is None:
                    cells.append(cell_failed(r) or "done in %.0f s" % r["seconds"])
                elif key in r.get("start", {}):
                    f = "%.1f" if key.endswith("_mib") else "%d"
                    a, h, e = (None if not r.get(m) else r[m][key]
                               for m in ("start", "half", "end"))
                    cells.append("%s → %s → %s%s" % tuple(
                        ["n/a" if v is None else f % v for v in (a, h, e)] +
                        ["" if e is None else " (%+.1f %%)" % ((e - a) * 100.0 / a)]))
                else:
                    cells.append("n/a")
            r = last_ok(sh)
            target, ok = "", None
            if key == "private_mib":
                pass
            elif key and "start" in r and "end" in r and not r.get("failed"):
                a, e = r["start"][key], r["end"][key]
                if key == "pss_mib":
                    target, ok = "≤ +5 %", e <= a * (1 + SHIFT_GROWTH)
                else:
                    target, ok = "no growth", e <= a
            elif key:
                target = "≤ +5 %" if key == "pss_mib" else "no growth"
                ok = False
            w("| %s | %s | %s | %s |" % (label, " | ".join(cells), target, met(ok)))
        w("")
        for s in shells:
            for change in ("opened", "closed"):
                files = sh[s.key].get("files_" + change)
                if files:
                    w("- %s: files %s between the first round and the end: %s"
                      % (s.label, change, ", ".join("`%s`" % f for f in files)))
        w("")

    if "guicost" in res:
        g = res["guicost"]
        w("### GUI-thread cost of one `open` and one cached `playsound`")
        w("")
        w("100 calls of each, one every 50 ms from the page, probed with `_NET_WM_PING` "
          "every 4 ms. *Per call*: the longest wait of the pings sent in that call's "
          "50 ms (from one probe interval before it), median and 90th percentile over "
          "the 100 calls; the target is judged on the median. *Longest*: the longest "
          "wait of the whole loop, which also catches the machine's other work. Idle: "
          "the same probe for 1 s before, median and longest.")
        w("")
        w(head)
        w(rule)
        for name in ("open", "playsound"):
            for label, fn, judged in (
                    ("per call, median (90th percentile), ms",
                     lambda v, r: "%.1f (%.1f)" % (v["call_median"], v["call_p90"]), True),
                    ("longest during the loop, ms", lambda v, r: "%.1f" % v["max"], False),
                    ("idle, median (longest), ms", lambda v, r: "%.2f (%.1f)" % (
                        r["ping_idle_ms"], r["ping_idle_max_ms"]), False)):
                cells = []
                for s in shells:
                    r = g[s.key]
                    v = r.get(name) if r else None
                    cells.append(fn(v, r) if v else (judged and cell_failed(r) or "n/a"))
                r = last_ok(g)
                v = r.get(name) if r else None
                w("| `%s`: GUI stall %s | %s | %s | %s |"
                  % (name, label, " | ".join(cells),
                     "≤ %g" % COMMAND_COST_MS if judged else "",
                     (met(v["call_median"] <= COMMAND_COST_MS) if v else "no")
                     if judged else ""))
        w("")
