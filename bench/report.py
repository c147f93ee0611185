"""The report: docs/performance.md, from the figures of a whole run."""

import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess

import flood
import longflood
import standard
from common import dpkg_version, git, log, median_of, summary


def number(v, digits):
    return "%.*f" % (digits, v)


def spread(s, digits):
    if not s:
        return "n/a"
    if s["min"] == s["max"]:
        return "%s (all runs)" % number(s["median"], digits) if s["n"] > 1 else \
            number(s["median"], digits)
    return "%s (%s–%s)" % (number(s["median"], digits), number(s["min"], digits),
                            number(s["max"], digits))


def ratio(a, b):
    if not a or not b or not b["median"]:
        return "n/a"
    return "%.2f" % (a["median"] / b["median"])


def shorten(cmd):
    return cmd if len(cmd) <= 48 else cmd[:45] + "..."


def machine(b):
    info = {}
    with open("/proc/cpuinfo") as f:
        m = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
    info["cpu"] = m.group(1).strip() if m else platform.processor()
    info["cores"] = os.cpu_count()
    with open("/proc/meminfo") as f:
        m = re.search(r"^MemTotal:\s*(\d+)", f.read(), re.M)
    info["ram"] = "%.1f GiB" % (int(m.group(1)) / 1024 / 1024) if m else "?"
    info["kernel"] = platform.release()
    try:
        with open("/etc/debian_version") as f:
            info["debian"] = f.read().strip()
    except OSError:
        info["debian"] = "?"
    info["qt"] = dpkg_version("libqt6webenginecore6")
    info["qtbase"] = dpkg_version("libqt6core6", "libqt6core6t64")
    info["chromium"] = subprocess.run(["chromium", "--version"], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True).stdout.strip() \
        if shutil.which("chromium") else "no Chromium"
    info["xvfb"] = dpkg_version("xvfb")
    ua = b.results.get("user_agents", {})
    for kind in ("shell", "chromium"):
        m = re.search(r"Chrome/([\d.]+)", ua.get(kind, ""))
        info["ua_" + kind] = m.group(1) if m else "?"
    return info


def report(b, path, elapsed):
    info = machine(b)
    today = datetime.date.today().isoformat()
    lines = []
    w = lines.append
    w("# Performance")
    w("")
    w("Figures from `bench/run`, which builds the program (Release) and a bare Qt WebEngine "
      "view, starts them and Chromium under Xvfb, and measures them from the outside and "
      "from the console page. Run it again after a change and compare with the figures "
      "below. Each figure is a median over runs, with the smallest and largest value in "
      "brackets.")
    w("")
    commits = ", ".join("`%s`" % s.commit for s in b.shells)
    w("## %s (%s, commit%s %s)" % (b.args.title, today,
                                   "s" if len(b.shells) > 1 else "", commits))
    w("")
    if len(b.shells) > 1:
        w("The builds measured side by side, in turn within each round: %s."
          % "; ".join("%s (%s)" % (s.label, git("log", "-1", "--format=%s", s.commit.split()[0])
                                  or s.commit) for s in b.shells))
        w("")
    w("Machine: %s, %d cores, %s RAM, Linux %s, Debian %s; Qt %s (Qt WebEngine %s, "
      "Chromium %s inside); %s; Xvfb %s with openbox, no GPU (Mesa software GL). "
      "The whole run took %.0f s; the machine's 1-minute load average, sampled before "
      "each program start, was %.1f to %.1f (other work was running beside the bench "
      "when it was above about 1). Clock exchanges between page and bench had a "
      "shortest round trip of %.2f ms (median)."
      % (info["cpu"], info["cores"], info["ram"], info["kernel"], info["debian"],
         info["qtbase"], info["qt"], info["ua_shell"], info["chromium"],
         info["xvfb"], elapsed, min(b.loads), max(b.loads),
         statistics.median(b.sync_rtts) if b.sync_rtts else float("nan")))
    w("")
    report_startup(b, w)
    report_restart(b, w)
    report_drive(b, w)
    flood.report_section(b, w)
    longflood.report_section(b, w)
    standard.report_section(b, w)
    if b.notes:
        w("### Checks that failed during the run")
        w("")
        for n in b.notes:
            w("- " + n)
        w("")
    w("## Method")
    w("")
    w("How to run the bench and how each figure is measured: [bench-method.md]"
      "(bench-method.md). The figures above come from:")
    w("")
    w("```sh")
    w(" ".join(["bench/run"] + b.args.argv))
    w("```")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(lines).rstrip() + "\n")
    log("wrote", path)


def report_startup(b, w):
    s = b.results["startup"]
    start = {k: summary(v["ms"]) for k, v in s.items()}
    mem = {k: summary(v["mib"]) for k, v in s.items()}
    floor, chrome = "bareview", "chromium"
    w("### Start-up and memory")
    w("")
    w("Process start to the page's load event reaching the server; then, %g s later, "
      "PSS summed over the program's processes. Median of %d starts of each, with the "
      "range in brackets; × compares medians." % (b.args.settle, b.args.start_runs))
    w("")
    w("| program | start to loaded, ms | × floor | × Chromium | PSS, MiB | × floor "
      "| × Chromium | processes |")
    w("|---|---|---|---|---|---|---|---|")
    for key, label, _, _ in b.programs():
        a, m = start[key], mem[key]
        w("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
            label, spread(a, 0), ratio(a, start[floor]), ratio(a, start[chrome]),
            spread(m, 1), ratio(m, mem[floor]), ratio(m, mem[chrome]),
            "%g" % median_of(s[key]["procs"]) if s[key]["procs"] else "n/a"))
    w("")


def report_restart(b, w):
    w("### Renderer restart: kill to load, ms")
    w("")
    w("One start of each build; after the page's first load its renderer process is "
      "killed %d times, each time timed from the kill to the next load report (see "
      "Method). The start-up of the same start is given beside it." % b.args.kills)
    w("")
    w("| program | start to loaded, ms | kill to load, ms |")
    w("|---|---|---|")
    for shell in b.shells:
        r = b.results["restart"].get(shell.key)
        w("| %s | %s | %s |" % (shell.label, "%.0f" % r["startup_ms"] if r else "n/a",
                                spread(summary(r["kill_ms"]), 0) if r else "n/a"))
    w("")


def column(b, shell, *keys):
    vals = []
    for r in b.results["drive"][shell.key]:
        v = r
        for k in keys:
            v = v.get(k) if isinstance(v, dict) else None
        vals.append(v)
    return summary(vals)


def report_drive(b, w):
    shells = b.shells
    multi = len(shells) > 1
    w("### One bridge call from the page")
    w("")
    w("Microseconds per `webkitExternal.command(...)`, over a loop of calls in the page "
      "(one run = one loop in a fresh start of the shell, %d runs). *In the page*: the "
      "loop's own time, what the page's script waits. *Through the shell*: from the "
      "start of the loop until the shell has carried out the last call (see Method), "
      "divided by the number of calls." % b.args.runs)
    w("")
    head = "| command | calls per run |"
    rule = "|---|---|"
    for s in shells:
        tag = " " + s.label if multi else ""
        head += " in the page%s | through the shell%s |" % (tag, tag)
        rule += "---|---|"
    w(head)
    w(rule)
    for name, cmd, n, *_ in b.bridge_commands():
        row = "| `%s` | %d |" % (shorten(cmd), n)
        for s in shells:
            row += " %s | %s |" % (spread(column(b, s, "bridge", "page", name), 0),
                                   spread(column(b, s, "bridge", "through", name), 0))
        w(row)
    w("")

    slow = any("dns_slow" in r for s in shells for r in b.results["drive"][s.key])
    w("### %d reverse look-ups at once" % b.args.dns)
    w("")
    variants = [("dns", "resolver answers at once")]
    if slow:
        variants.append(("dns_slow", "resolver answers after %d ms" % b.args.dns_delay_ms))
    head, rule = "| figure |", "|---|"
    for s in shells:
        for _, vlabel in variants:
            head += " %s%s |" % (s.label + ", " if multi else "", vlabel)
            rule += "---|"
    w(head)
    w(rule)
    rows = [
        ("sending loop in the page, ms", "send_ms", 0),
        ("first call to the last `HandleQueryDns` answer, ms", "total_ms", 0),
        ("end of the sending loop to the last answer, ms", "after_send_ms", 0),
        ("longest GUI-thread stall (longest `_NET_WM_PING` wait), ms", "ping_max_ms", 0),
        ("99th percentile `_NET_WM_PING` wait, ms", "ping_p99_ms", 1),
        ("`_NET_WM_PING` wait when idle, before (median), ms", "ping_idle_ms", 2),
        ("longest page heartbeat gap after the sending loop, ms", "page_gap_ms", 0),
        ("threads of the main process before", "threads_before", 0),
        ("threads of the main process at most, during", "threads_peak", 0),
        ("threads of the main process 1 s after the last answer", "threads_after", 0),
    ]
    for label, key, digits in rows:
        cells = [spread(column(b, s, v, key), digits) for s in shells for v, _ in variants]
        w("| %s | %s |" % (label, " | ".join(cells)))
    w("")

    w("### Sounds and the pop-up")
    w("")
    if multi:
        w("| figure | " + " | ".join(s.label for s in shells) + " |")
        w("|---|" + "---|" * len(shells))
    else:
        w("| figure | value |")
        w("|---|---|")
    # The figure's place in a run's results, its decimals and its label.
    rows = """sound call 1 `playsound` of a cached file: the bridge call as the page sees it, ms
        sound logged 1 `playsound` of a cached file: command sent to the "Play file" log line, ms
        sound opened 1 `playsound` of a cached file: command sent to the player opening the file, ms
        sound read 1 `playsound` of a cached file: command sent to the player's first read, ms
        download seconds 2 50 MB sound: command to "Play file" (download and store), s
        download pss_growth_mib 1 50 MB sound: peak PSS growth of the main process during the download, MiB
        download rss_growth_mib 1 50 MB sound: peak RSS growth of the main process during the download, MiB
        download pss_growth_after_mib 1 50 MB sound: peak PSS growth in the 1.5 s after (playback starting), MiB
        popup call_first 1 `shownotify`: the bridge call as the page sees it, first show, ms
        popup call_later 1 `shownotify`: the bridge call as the page sees it, later shows, ms
        popup first 1 `shownotify` to the pop-up mapped, first show after start, ms
        popup later 1 `shownotify` to the pop-up mapped, later shows (median of %d per run), ms"""
    for row in (rows % (b.args.popups - 1)).splitlines():
        part, key, digits, label = row.split(None, 3)
        keys, digits = (part, key), int(digits)
        w("| %s | %s |" % (label, " | ".join(spread(column(b, s, *keys), digits)
                                             for s in shells)))
    w("")
