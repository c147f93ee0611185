"""Figures taken with standard tools: hyperfine times whole starts of each build (start, load
the page, close from the page, exit), and QBENCHMARK (bench/bench_core.cpp) the in-process
costs of the window-free core."""

import csv
import json
import os
import subprocess

from common import BUILD_DIR, harness, log

PARTS = ["startexit", "core"]
CORE_FIGURES = {
    "splitCommand": "a command's name, argument, key and value, and its fixed result",
    "storeLoad": "loading a store of 100 000 keys and one 50 MB value",
    "storeRead": "`getlocaldata`: one value of that store, from memory",
    "storeWrite": "`setlocaldata`: one value, on the page's thread (the disk follows)",
    "storeFlush": "one value until it is on disk, on the store's thread",
    "lookupAnswer": "the `HandleQueryDns` call that carries a look-up's answer",
    "soundFile": "the cache file of a sound's address",
}


def startexit(bench, shell):
    """hyperfine's figures for starts of shell.binary that end as soon as the page has loaded."""
    runs = 3 if bench.args.quick else 10
    work = os.path.join(bench.work, "startexit-" + shell.key)
    os.makedirs(work)
    display = harness.Display(work)
    try:
        env = harness.private_env(work, display.env({
            "BRINDLETON_CONSOLE_URL": bench.base + "/console/index.html?run=startexit&mode=close",
            "PATH": os.environ["PATH"]}))
        out = os.path.join(work, "hyperfine.json")
        subprocess.run(["hyperfine", "--shell=none", "--warmup", "1", "--runs", str(runs),
                        "--style", "basic", "--export-json", out, shell.binary],
                       env=env, cwd=work, check=True, timeout=60 * (runs + 1))
        with open(out) as f:
            result = json.load(f)["results"][0]
        return {k: result[k] * 1000.0 for k in ("mean", "stddev", "median", "min", "max")}
    finally:
        display.stop()


def core(bench):
    """QBENCHMARK's milliseconds per call of each core figure, of the working tree's build."""
    out = os.path.join(bench.work, "bench_core.csv")
    subprocess.run([os.path.join(BUILD_DIR, "bench", "bench_core"), "-csv", "-o", out + ",csv"],
                   env=dict(os.environ, QT_QPA_PLATFORM="offscreen"), check=True, timeout=600)
    with open(out) as f:
        return {row[0]: float(row[3]) for row in csv.reader(f) if len(row) > 3}


def run_part(bench, part):
    if part == "core":
        log("core costs of the working tree's build")
        bench.results["core"] = core(bench)
        return
    out = bench.results.setdefault(part, {})
    for shell in bench.shells:
        log("start to exit of %s (hyperfine)" % shell.label)
        out[shell.key] = startexit(bench, shell)


def report_section(b, w):
    """The tables of the parts that ran."""
    if "startexit" in b.results:
        w("### Start to exit, by hyperfine")
        w("")
        w("The program starts, loads the page, whose load event sends `close`, and ends; one "
          "warm-up start, then the counted ones, all with one home directory.")
        w("")
        w("| build | mean ± σ (ms) | median (ms) | min … max (ms) |")
        w("|---|---|---|---|")
        for s in b.shells:
            r = b.results["startexit"].get(s.key)
            if r:
                w("| %s | %.0f ± %.0f | %.0f | %.0f … %.0f |" % (
                    s.label, r["mean"], r["stddev"], r["median"], r["min"], r["max"]))
        w("")
    if "core" in b.results:
        w("### In-process costs of the core, by QBENCHMARK (working tree)")
        w("")
        w("| figure | µs per call |")
        w("|---|---|")
        for name, text in CORE_FIGURES.items():
            if name in b.results["core"]:
                w("| %s | %.2f |" % (text, b.results["core"][name] * 1000.0))
        w("")
