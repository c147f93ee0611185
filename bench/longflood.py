"""Floods kept up for a while (bench/run --only lookupflood, --only openflood;
docs/bench-method.md tells how each figure is measured).

The page sends one command from a setInterval loop for --flood-seconds while the main
process's memory, open files and threads are sampled, so that what grows with the flood's
length shows as a climb from the peak of its first quarter to that of its last:

- lookupflood: `querydns` of one address that the bench's resolver answers after 3 s; every
  call must get its own `HandleQueryDns`.
- openflood: `open:https://example.invalid/<n>`, to a desktop opener that stays, as a browser
  launcher does while its browser runs; the program must hold nothing per running opener and
  start them no faster than it allows.
"""

import math
import os
import signal

from common import Hung, count_lines, fmt, harness, log, now
from dns import DnsServer
from flood import Sampler, Session, cell_failed, failure, rows_table
from launch import fd_count, rollup_kib, rss_kib, snapshot

PARTS = ["lookupflood", "openflood"]

SAMPLE_INTERVAL = 0.25
LOOKUP_ADDRESS = "198.51.100.7"  # not in /etc/hosts: asked of the bench's resolver
LOOKUP_DELAY_S = 3.0
LOOKUPS_PER_TICK = 100
ANSWERS_WAIT_S = 60.0  # after the loop, for the answers still due
OPEN_URL = "https://example.invalid/{n}"
OPEN_MAX_CALLS = 2000  # each may leave a process for the part's length
OPENERS_WAIT_S = 30.0
# The program's allowance of openers: a burst, then so many a second.
OPEN_BURST = 5
OPEN_PER_S = 1.0
REFUSED_RX = r"^Refused to open .* \(too many addresses in a short time\)$"
# Targets, for the report's "met" column.
GROWTH = 0.05
FILES_SLACK = 8
# (figure, index in Sampler's samples, divisor)
FIGURES = (("files", 1, 1), ("threads", 2, 1), ("pss_mib", 3, 1024.0), ("rss_mib", 4, 1024.0),
           ("anon_mib", 5, 1024.0))


def over_time(samples, t0, t1):
    """Each figure's peak in each of the four quarters of the loop [t0, t1], and its peak from
    t0 to the last sample (the wait after the loop included). A sample of 0 is of a process
    gone. Peaks rather than medians: the program gives memory back when a piece of work ends
    (malloc_trim), which moves a median by the moment of the last trim."""
    out = {}
    span = (t1 - t0) / 4.0
    for name, i, scale in FIGURES:
        quarters = []
        for q in range(4):
            lo, hi = t0 + q * span, t0 + (q + 1) * span
            values = [s[i] for s in samples if lo <= s[0] and (s[0] < hi or q == 3 and s[0] <= t1)
                      and s[i]]
            quarters.append(max(values) / scale if values else None)
        after = [s[i] for s in samples if s[0] >= t0 and s[i]]
        out[name + "_quarters"] = quarters
        out[name + "_peak"] = max(after) / scale if after else None
    return out


def lingering(log_path):
    """The fake openers still running of the start whose opener log is log_path: the
    processes named xdg-open (the script) or sleep (what it becomes) with that log in their
    environment. They lead sessions of their own, so stopping the program leaves them."""
    entry = b"NOOP_LOG=" + log_path.encode()
    found = []
    for name in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/comm" % name) as f:
                if f.read().strip() not in ("xdg-open", "sleep"):
                    continue
            with open("/proc/%s/environ" % name, "rb") as f:
                if entry in f.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            continue
    return found


def end_openers(log_path):
    """Kills the fake openers left of one start: (how many there were, how many are left
    after 10 s)."""
    pids = lingering(log_path)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    try:
        harness.wait_until(lambda: not lingering(log_path), 10, "the fake openers to end")
    except harness.Timeout:
        pass
    return len(pids), len(lingering(log_path))


def staying_opener(bench):
    """A folder whose xdg-open notes its call, then stays for an hour."""
    folder = os.path.join(bench.work, "staying-bin")
    path = os.path.join(folder, "xdg-open")
    if not os.path.exists(path):
        os.makedirs(folder)
        with open(path, "w") as f:
            f.write('#!/bin/sh\n# Stays, as a browser launcher does while its browser runs.\n'
                    'printf "%s\\n" "$*" >> "${NOOP_LOG:-/dev/null}"\n'
                    'exec sleep 3600 </dev/null >/dev/null 2>&1\n')
        os.chmod(path, 0o755)
    return folder


def slow_resolver(bench):
    """A resolv.conf naming the bench's resolver with the C library's own timeouts (5 s, 2
    tries), which a look-up answered after LOOKUP_DELAY_S stays within."""
    path = os.path.join(bench.work, "resolv-slow.conf")
    with open(path, "w") as f:
        f.write("nameserver %s\n" % bench.dns.sock.getsockname()[0])
    return path


class Part:
    """What one flood part adds to a start: prepare() before it, started() once the page has
    loaded, after_loop() once the page's loop has ended, close() after the program has
    stopped, whatever happened."""

    def __init__(self, bench):
        self.bench = bench

    def prepare(self, s, res):
        pass

    def started(self, s, res):
        pass

    def after_loop(self, s, res):
        pass

    def close(self, s, res):
        pass


def sustained(bench, shell, name, part):
    """One start of shell under part.task (the page's "repeat" task), sampled from its idle
    figures to the end of part.after_loop()."""
    seconds = part.task["seconds"]
    res = {"seconds_asked": seconds}
    sampler = None
    t0 = t1 = None
    s = Session(bench, shell, name)
    try:
        part.prepare(s, res)
        with s:
            part.started(s, res)
            s.at("idle figures")
            idle = snapshot(s.pid)
            res.update(idle_files=idle["files"], idle_threads=idle["threads"],
                       idle_pss_mib=idle["pss_mib"], idle_rss_mib=rss_kib(s.pid) / 1024.0,
                       idle_anon_mib=rollup_kib(s.pid).get("Anonymous", 0) / 1024.0)
            sampler = Sampler(s.pid, SAMPLE_INTERVAL)
            sampler.start()
            try:
                s.at("the page's loop of %g s" % seconds)
                t0 = now()
                r = s.ask("repeat", seconds + 120, **part.task)
                t1 = now()
                res.update(calls=r["sent"], loop_s=r["ms"] / 1000.0,
                           longest_gap_ms=r["longestGapMs"])
                part.after_loop(s, res)
            except (RuntimeError, harness.Timeout) as e:
                res["failed"] = failure(e)
                log("%s of %s failed: %s" % (name, shell.label, e))
            finally:
                sampler.close()
                status = s.launch.popen.poll()
                res["running"] = status is None
                if status is not None:
                    res["status"] = status
    except (RuntimeError, harness.Timeout, OSError) as e:
        res.setdefault("failed", failure(e))
    finally:
        part.close(s, res)
    if sampler and sampler.samples and t0 is not None:
        res.update(over_time(sampler.samples, t0, t1 or sampler.samples[-1][0]))
    log("%s:" % name, ", ".join("%s %s" % (k, fmt(v)) for k, v in res.items()))
    return res


class LookupFlood(Part):
    """querydns of one address, answered after LOOKUP_DELAY_S by the bench's resolver."""

    def __init__(self, bench, seconds):
        super().__init__(bench)
        if bench.dns:
            self.address = LOOKUP_ADDRESS
            name = DnsServer.name_of(LOOKUP_ADDRESS)
        else:  # the machine's resolver is not to be flooded: /etc/hosts answers this one
            bench.note("lookupflood: no resolver of the bench; the look-ups were of 127.0.0.1, "
                       "answered at once from /etc/hosts")
            self.address, name = "127.0.0.1", "localhost"
        self.task = {"cmd": "querydns:" + self.address, "seconds": seconds, "gapMs": 0,
                     "perTick": LOOKUPS_PER_TICK, "expect": {self.address: name}}
        self.queries = 0

    def prepare(self, s, res):
        res.update(address=self.address, delay_s=LOOKUP_DELAY_S if self.bench.dns else 0.0)
        if self.bench.dns:
            s.launch.resolv_conf = slow_resolver(self.bench)

    def started(self, s, res):
        if self.bench.dns:  # the start itself had it at 0
            self.bench.dns.delay = LOOKUP_DELAY_S
            self.queries = self.bench.dns.asked[self.address]

    def after_loop(self, s, res):
        calls = res["calls"]
        s.at("the answers to the %d look-ups (at most %g s)" % (calls, ANSWERS_WAIT_S))
        waited = now()
        got = {}

        def answered():
            got.update(s.ask("dnscount", 30))
            return got["count"] >= calls

        try:
            s.wait(answered, ANSWERS_WAIT_S, 0.5)
        except Hung:
            pass  # fewer than the calls: the figures say how many came
        res.update(answered=got.get("count"), wrong_names=got.get("wrong"),
                   answers_after_s=now() - waited)
        if self.bench.dns:
            res["resolver_queries"] = self.bench.dns.asked[self.address] - self.queries
        res.update(end_anon_mib=rollup_kib(s.pid).get("Anonymous", 0) / 1024.0,
                   end_rss_mib=rss_kib(s.pid) / 1024.0)

    def close(self, s, res):
        if self.bench.dns:
            self.bench.dns.delay = 0.0


class OpenFlood(Part):
    """open: of addresses numbered in turn, to an opener that stays; paced so that the calls,
    at most OPEN_MAX_CALLS, last the whole loop (a program that starts an opener for each
    call leaves that many processes for the part's length)."""

    def __init__(self, bench, seconds):
        super().__init__(bench)
        self.task = {"cmd": "open:" + OPEN_URL, "seconds": seconds, "max": OPEN_MAX_CALLS,
                     "gapMs": int(seconds * 1000 // OPEN_MAX_CALLS)}

    def prepare(self, s, res):
        env = s.launch.env
        env["PATH"] = staying_opener(self.bench) + ":" + env["PATH"]
        res["gap_ms"] = self.task["gapMs"]

    def after_loop(self, s, res):
        calls, log_path = res["calls"], s.launch.env["NOOP_LOG"]
        s.at("the %d calls to start an opener or be refused (at most %g s)"
             % (calls, OPENERS_WAIT_S))
        try:
            s.wait(lambda: count_lines(log_path) + s.lines(REFUSED_RX) >= calls,
                   OPENERS_WAIT_S, 0.25)
        except Hung:
            pass  # some calls did neither: the figures say how many
        res.update(started=count_lines(log_path), refused=s.lines(REFUSED_RX),
                   allowed=OPEN_BURST + math.ceil(res["loop_s"] * OPEN_PER_S),
                   end_files=fd_count(s.pid), openers_running=len(lingering(log_path)))

    def close(self, s, res):
        res["openers_killed"], left = end_openers(s.launch.env["NOOP_LOG"])
        if left:
            self.bench.note("openflood: %d fake openers of %s would not end"
                            % (left, s.launch.run))


def run_part(bench, part):
    seconds = bench.args.flood_seconds
    out = bench.results.setdefault(part, {})
    for shell in bench.shells:
        log("%s of %s, %g s" % (part, shell.label, seconds))
        kind = LookupFlood if part == "lookupflood" else OpenFlood
        out[shell.key] = sustained(bench, shell, part, kind(bench, seconds))


# ---- the report


def quarters_cell(r, name, form):
    """A figure's peaks in each quarter, first to last, and the change from the first to the last:
    in per cent for memory, as a count for the rest."""
    qs = r[name + "_quarters"]
    text = " → ".join("n/a" if q is None else form % q for q in qs)
    if qs[0] and qs[3] is not None:
        text += (" (%+.1f %%)" % ((qs[3] - qs[0]) * 100.0 / qs[0]) if name.endswith("_mib")
                 else " (%+d)" % (qs[3] - qs[0]))
    return text


def flat(name, slack=0.0, growth=0.0):
    """A row's test: the last quarter's peak at most slack, or growth times the first, above
    the first quarter's, over a whole loop."""
    def ok(r):
        first, last = r[name + "_quarters"][0], r[name + "_quarters"][3]
        return not r.get("failed") and last <= first * (1 + growth) + slack
    return ok


COMMON_HEAD = [
    ("outcome", lambda r: cell_failed(r) or "%d calls in %.1f s" % (r["calls"], r["loop_s"]),
     "", lambda r: None),
    ("the program at the end",
     lambda r: "running" if r["running"] else "ended (status %s)" % r.get("status"),
     "running", lambda r: r["running"]),
]
COMMON_SAMPLED = [
    ("anonymous memory (heap, stacks) of the main process, peak in each quarter of the loop, "
     "MiB", lambda r: quarters_cell(r, "anon_mib", "%.1f"), "≤ +%g %%" % (GROWTH * 100),
     flat("anon_mib", growth=GROWTH)),
    ("RSS of the main process, the same, MiB",
     lambda r: quarters_cell(r, "rss_mib", "%.1f"), "≤ +%g %%" % (GROWTH * 100),
     flat("rss_mib", growth=GROWTH)),
    ("PSS of the main process, the same (moves as other processes map or drop the same "
     "libraries), MiB", lambda r: quarters_cell(r, "pss_mib", "%.1f"), "", lambda r: None),
    ("anonymous, RSS, PSS: peak with the wait after the loop (idle), MiB",
     lambda r: "%.1f, %.1f, %.1f (%.1f, %.1f, %.1f)" % (
         r["anon_mib_peak"], r["rss_mib_peak"], r["pss_mib_peak"], r["idle_anon_mib"],
         r["idle_rss_mib"], r["idle_pss_mib"]),
     "", lambda r: None),
    ("open files, peak in each quarter; peak with the wait after the loop (idle)",
     lambda r: "%s; %d (%d)" % (quarters_cell(r, "files", "%d"), r["files_peak"],
                                r["idle_files"]),
     "≤ +%d" % FILES_SLACK, flat("files", slack=FILES_SLACK)),
    ("threads, peak in each quarter; peak with the wait after the loop (idle)",
     lambda r: "%s; %d (%d)" % (quarters_cell(r, "threads", "%d"), r["threads_peak"],
                                r["idle_threads"]),
     "", lambda r: None),
    ("longest wait between two ticks of the page's loop, ms",
     lambda r: "%.0f" % r["longest_gap_ms"], "", lambda r: None),
]
LOOKUP_ROWS = COMMON_HEAD + [
    ("`HandleQueryDns` answers / calls (waited after the loop, s)",
     lambda r: "%d / %d (%.1f)" % (r["answered"], r["calls"], r["answers_after_s"]),
     "every call", lambda r: r["answered"] == r["calls"]),
    ("answers naming another host than the resolver's",
     lambda r: "%d" % r["wrong_names"], "none", lambda r: r["wrong_names"] == 0),
    ("queries of the address that reached the bench's resolver",
     lambda r: "%d" % r["resolver_queries"], "", lambda r: None),
    ("anonymous memory, RSS once the answers had come (or the wait ended), MiB",
     lambda r: "%.1f, %.1f" % (r["end_anon_mib"], r["end_rss_mib"]), "", lambda r: None),
] + COMMON_SAMPLED
OPEN_ROWS = COMMON_HEAD + [
    ("openers started / calls (allowed over the loop)",
     lambda r: "%d / %d (%d)" % (r["started"], r["calls"], r["allowed"]),
     "≤ %d, then %g a second" % (OPEN_BURST, OPEN_PER_S),
     lambda r: r["started"] <= r["allowed"]),
    ("\"Refused to open … (too many addresses in a short time)\" lines",
     lambda r: "%d" % r["refused"], "the other calls",
     lambda r: r["started"] + r["refused"] == r["calls"]),
    ("openers running after the loop; open files then",
     lambda r: "%d; %d" % (r["openers_running"], r["end_files"]), "", lambda r: None),
] + COMMON_SAMPLED


def report_section(b, w):
    """The tables of the parts that ran."""
    res = b.results
    if "lookupflood" in res:
        any_r = next(iter(res["lookupflood"].values()))
        w("### `querydns` of one slow address, every tick for %g s" % any_r["seconds_asked"])
        w("")
        w("The page calls `querydns:%s` from `setInterval(..., 0)`; the bench's resolver "
          "answers after %g s. Main process sampled every %g s; after the loop, at most %g s "
          "for the answers still due." % (any_r.get("address"), any_r.get("delay_s"),
                                         SAMPLE_INTERVAL, ANSWERS_WAIT_S))
        w("")
        rows_table(w, b.shells, res["lookupflood"], LOOKUP_ROWS)
    if "openflood" in res:
        any_r = next(iter(res["openflood"].values()))
        w("### `open:` of a new address every %d ms for %g s, to openers that stay"
          % (any_r.get("gap_ms"), any_r["seconds_asked"]))
        w("")
        w("At most %d calls. The desktop's opener notes its call and stays (an hour), as a "
          "browser launcher does; those left are killed after the part. Main process sampled "
          "every %g s." % (OPEN_MAX_CALLS, SAMPLE_INTERVAL))
        w("")
        rows_table(w, b.shells, res["openflood"], OPEN_ROWS)
