"""Paths, logging and small helpers shared by the benchmark's modules."""

import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: F401 - the modules take it from here

BENCH_DIR = os.path.join(ROOT, "bench")
BUILD_DIR = os.path.join(ROOT, "build-bench")
HOST = "127.0.0.1"
WINDOW_SIZE = (555, 400)  # the console window's size, given to every program

now = time.monotonic
START = now()


def log(*parts):
    print("[bench %7.1fs]" % (now() - START), *parts, file=sys.stderr, flush=True)


class Hung(RuntimeError):
    """A step that waits on a program gave up at its deadline."""

    def __init__(self, step, seconds, where=""):
        super().__init__("hung: %s (gave up after %.0f s)%s"
                         % (step, seconds, "; see " + where if where else ""))


def summary(values):
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "n": len(values)}


def median_of(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def count_lines(path):
    try:
        with open(path) as f:
            return sum(1 for _ in f)
    except OSError:
        return 0


def dpkg_version(*names):
    """The installed version of the first of the packages that is installed: Debian 13
    renamed some libraries (libqt6core6 is libqt6core6t64 there)."""
    for name in names:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
        if r.stdout.strip():
            return r.stdout.strip()
    return "?"


def git(*args):
    """git's output in the tree; "" where it fails, or where there is no git (a copy of the
    tree, such as the one scripts/in-debian makes, has no .git)."""
    try:
        r = subprocess.run(["git", "-C", ROOT] + list(args), stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    except OSError:
        return ""
    return r.stdout.strip() if r.returncode == 0 else ""


def fmt(v):
    if isinstance(v, float):
        return "%.1f" % v
    return str(v)


def fmt_list(vs):
    return "[" + ", ".join("-" if v is None else "%.1f" % v for v in vs) + "]"
