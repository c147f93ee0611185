"""A run's raw figures saved with a label, and runs put side by side (bench/run --merge).

Each run of bench/run saves what it measured, the machine and the Qt it ran on, under a
label ("Qt 6.4", "Qt 6.8"). --merge reads saved runs, made one after the other on one
machine (for example one on this Debian and one in scripts/in-debian's root of the
other release), and writes one section with a column for each run at the top of the
report, above the sections already there.
"""

import datetime
import json
import os
import re

import flood
from common import dpkg_version, log, summary
from report import machine, spread

RELEASES = {"12": "bookworm", "13": "trixie"}
FLOOR = "bareview"  # the bare Qt WebEngine view with an off-the-record profile
START_RATIO = PSS_RATIO = 1.15  # at most this many times the floor's
RESTART_MS = 1000.0
BRIDGE_US = {"getlocaldata": 50.0}  # in the page; every other command: BRIDGE_US_ANY
BRIDGE_US_ANY = 200.0


def root_id():
    """The file system root this process sees: a run in scripts/in-debian's root has
    another than the merge, made on the machine itself."""
    st = os.stat("/")
    return [st.st_dev, st.st_ino]


def default_label():
    m = re.match(r"[\d.]+", dpkg_version("libqt6core6", "libqt6core6t64"))
    return "Qt " + m.group(0).rstrip(".") if m else "this machine's Qt"


def save(bench, path, elapsed):
    """The run's raw figures, with its label and what it ran on, as JSON in path."""
    args = bench.args
    data = {
        "label": args.label or default_label(),
        "date": datetime.date.today().isoformat(),
        "elapsed_s": elapsed,
        "argv": args.argv,
        "root": root_id(),
        "machine": machine(bench),
        "settings": {k: getattr(args, k) for k in (
            "quick", "runs", "start_runs", "kills", "settle", "shift_scale", "only")},
        "bridge_commands": [c[:3] for c in bench.bridge_commands()],
        "shells": [vars(s) for s in bench.shells],
        "results": bench.results,
        "notes": bench.notes,
        "loads": bench.loads,
        "sync_rtts": bench.sync_rtts,
    }
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(data, f, indent=1, default=str)


class Column:
    """One build of one saved run."""

    def __init__(self, run, shell, several):
        self.run, self.shell, self.key = run, shell, shell["key"]
        self.label = run["label"] + (", " + shell["label"] if several else "")
        self.results = run["results"]

    def part(self, name):
        return self.results.get(name) or {}


def load(paths):
    runs = []
    for path in paths:
        with open(path) as f:
            run = json.load(f)
        run["path"] = path
        run["in_root"] = run.get("root", root_id()) != root_id()
        runs.append(run)
    labels = [r["label"] for r in runs]
    if len(set(labels)) != len(labels):
        raise SystemExit("bench/run --merge: two runs have the same label (%s): give each its "
                         "own with --label" % ", ".join(labels))
    return runs


def command(run):
    """The command that made a run, as it would be typed on the host."""
    line = " ".join(["bench/run"] + run["argv"])
    release = RELEASES.get(run["machine"]["debian"].split(".")[0])
    if run["in_root"] and release:
        return "scripts/in-debian %s \"%s\"" % (release, line.replace('"', '\\"'))
    return line


def verdicts(values):
    """The met column: each column's yes or no, or "" where no column has a target."""
    if all(v is None for v in values):
        return ""
    return " / ".join("—" if v is None else ("yes" if v else "no") for v in values)


def table(w, cols, rows):
    """rows: (figure, [cell per column], target, [True/False/None per column])."""
    w("| figure | %s | target | met (%s) |" % (" | ".join(c.label for c in cols),
                                              " / ".join(c.label for c in cols)))
    w("|---|" + "---|" * (len(cols) + 2))
    for label, cells, target, oks in rows:
        w("| %s | %s | %s | %s |" % (label, " | ".join(cells), target, verdicts(oks)))
    w("")


def startup_rows(cols):
    def stats(c, key, figure):
        s = c.part("startup").get(key)
        return summary(s[figure]) if s else None

    def times_floor(c, key, figure):
        a, b = stats(c, key, figure), stats(c, FLOOR, figure)
        return a["median"] / b["median"] if a and b and b["median"] else None

    rows = []
    for figure, unit, digits, limit in (("ms", "start to loaded, ms", 0, START_RATIO),
                                        ("mib", "PSS of all its processes, MiB", 1, PSS_RATIO)):
        cells, oks = [], []
        for c in cols:
            x = times_floor(c, c.key, figure)
            cells.append(spread(stats(c, c.key, figure), digits) +
                         ("" if x is None else ", %.2f × the floor" % x))
            oks.append(None if x is None else x <= limit)
        rows.append(("brindleton: " + unit, cells, "≤ %.2f × the floor" % limit, oks))
        for key, name in ((FLOOR, "bare view, off-the-record profile (the floor)"),
                          ("bareview-named", "bare view, named profile with disk cache"),
                          ("chromium", "Chromium `--app`")):
            rows.append(("%s: %s" % (name, unit),
                         [spread(stats(c, key, figure), digits) for c in cols], "",
                         [None] * len(cols)))
    procs = []
    for c in cols:
        s = c.part("startup").get(c.key)
        procs.append(spread(summary(s["procs"]), 0) if s else "n/a")
    rows.append(("brindleton: processes after the load", procs, "", [None] * len(cols)))
    return rows


def restart_rows(cols):
    starts, kills, oks = [], [], []
    for c in cols:
        r = c.part("restart").get(c.key)
        starts.append("%.0f" % r["startup_ms"] if r else "n/a")
        kills.append(spread(summary(r["kill_ms"]), 0) if r else "n/a")
        oks.append(max(r["kill_ms"]) < RESTART_MS if r and r["kill_ms"] else None)
    return [("start to loaded, the same start, ms", starts, "", [None] * len(cols)),
            ("kill to load, ms (median of the kills, range)", kills,
             "every kill < %.0f" % RESTART_MS, oks)]


def bridge_table(w, cols):
    names = []
    for c in cols:
        for n, _, _ in c.run.get("bridge_commands", []):
            if n not in names:
                names.append(n)
    head = "| command | calls per run |"
    rule = "|---|---|"
    for where in ("in the page", "through the shell"):
        for c in cols:
            head += " %s, %s |" % (where, c.label)
            rule += "---|"
    w(head + " target (in the page) | met (%s) |" % " / ".join(c.label for c in cols))
    w(rule + "---|---|")
    for name in names:
        calls = sorted({n for c in cols for m, _, n in c.run.get("bridge_commands", [])
                        if m == name})
        cells, oks = [], []
        limit = BRIDGE_US.get(name, BRIDGE_US_ANY)
        for where in ("page", "through"):
            for c in cols:
                values = [r.get("bridge", {}).get(where, {}).get(name)
                          for r in c.part("drive").get(c.key, [])]
                s = summary(values)
                cells.append(spread(s, 0))
                if where == "page":
                    oks.append(s["median"] <= limit if s else None)
        w("| `%s` | %s | %s | ≤ %.0f µs | %s |" % (name, " / ".join(map(str, calls)),
                                                  " | ".join(cells), limit, verdicts(oks)))
    w("")


def flood_rows(cols):
    rows = []
    for label, cell, target, ok in flood.FLOOD_ROWS:
        runs = [c.part("flood").get(c.key) for c in cols]
        cells = [flood.row_cell(cell, r) for r in runs]
        oks = [flood.row_met(ok, r) if r else None for r in runs]
        rows.append((label, cells, target, oks))
    return rows


def section(runs, paths):
    cols = [Column(run, shell, len(run["shells"]) > 1) for run in runs for shell in run["shells"]]
    # "46abf09", "46abf09 with uncommitted changes" (from git) or as --commit told it
    commits = [s["commit"] for run in runs for s in run["shells"]]
    shas = sorted({c.split()[0] for c in commits})
    lines = []
    w = lines.append
    w("## %s side by side (%s, commit%s %s%s)" % (
        " and ".join(r["label"] for r in runs), max(r["date"] for r in runs),
        "s" if len(shas) > 1 else "", ", ".join("`%s`" % c for c in shas),
        " with uncommitted changes" if any(" " in c for c in commits) else ""))
    w("")
    m = runs[0]["machine"]
    w("One column for each run of `bench/run`, made one after the other on one machine (%s, "
      "%d cores, %s RAM, Linux %s; Xvfb with openbox, no GPU):"
      % (m["cpu"], m["cores"], m["ram"], m["kernel"]))
    w("")
    for r in runs:
        i = r["machine"]
        loads = r.get("loads") or [float("nan")]
        w("- **%s**: Debian %s%s, Qt %s (Qt WebEngine %s%s), Xvfb %s; "
          "measured on %s in %.0f s%s, the 1-minute load average %.1f to %.1f at the "
          "program starts." % (
              r["label"], i["debian"],
              " (in a root of its own made by `scripts/in-debian`)" if r["in_root"] else "",
              i["qtbase"], i["qt"],
              "" if i["ua_shell"] == "?" else ", Chromium %s inside" % i["ua_shell"],
              i["xvfb"], r["date"], r["elapsed_s"],
              " (`--quick`: a smoke test, not figures to go by)"
              if r["settings"].get("quick") else "",
              min(loads), max(loads)))
    w("")
    w("```sh")
    for r in runs:
        w(command(r))
    if any(r["in_root"] for r in runs):
        w("# the saved figures copied out of the root (its root/project/build-bench/) first")
    w(" ".join(["bench/run", "--merge"] + paths))
    w("```")
    w("")
    if any(c.part("startup") for c in cols):
        w("### Start-up and memory")
        w("")
        w("Process start to the page's load event reaching the server; PSS summed over the "
          "program's processes 2 s later. Median over the starts, range in brackets; each "
          "release's own bare Qt WebEngine view is its floor.")
        w("")
        table(w, cols, startup_rows(cols))
    if any(c.part("restart") for c in cols):
        w("### Renderer restart")
        w("")
        table(w, cols, restart_rows(cols))
    if any(c.part("drive").get(c.key) for c in cols):
        w("### One bridge call from the page, µs per call")
        w("")
        bridge_table(w, cols)
    if any(c.part("flood") for c in cols):
        w("### %d sounds and %d look-ups in one script task"
          % (flood.FLOOD_SOUNDS, flood.FLOOD_LOOKUPS))
        w("")
        table(w, cols, flood_rows(cols))
    for r in runs:
        if r["notes"]:
            w("Checks that failed in the run of %s:" % r["label"])
            w("")
            for n in r["notes"]:
                w("- " + n)
            w("")
    return lines


def insert(text, lines):
    """The report with the section as its first; a first section of the same title (the
    same runs merged again) is replaced."""
    old = text.splitlines()
    first = next((i for i, line in enumerate(old) if line.startswith("## ")), len(old))
    end = first
    if first < len(old) and old[first] == lines[0]:
        end = next((i for i in range(first + 1, len(old)) if old[i].startswith("## ")),
                   len(old))
    head = old[:first] or ["# Performance", ""]
    return "\n".join(head + lines + old[end:]).rstrip() + "\n"


def write(paths, out):
    runs = load(paths)
    lines = section(runs, paths)
    try:
        with open(out) as f:
            text = f.read()
    except FileNotFoundError:
        text = ""
    with open(out, "w") as f:
        f.write(insert(text, lines))
    log("wrote the section \"%s\" at the top of %s" % (lines[0][3:], out))
