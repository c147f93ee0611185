"""One program started on a display of its own with fresh home directories."""

import os
import re
import statistics
import subprocess
import time

from common import BUILD_DIR, Hung, WINDOW_SIZE, harness, now
from watch import LineReader


def rollup_kib(pid):
    """The figures of /proc/<pid>/smaps_rollup in KiB, by name ("Pss", "Anonymous" ...);
    empty when the process has gone."""
    figures = {}
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                words = line.split()
                if len(words) == 3 and words[2] == "kB":
                    figures[words[0].rstrip(":")] = int(words[1])
    except OSError:
        pass
    return figures


def pss_kib(pid):
    return rollup_kib(pid).get("Pss", 0)


def rss_kib(pid):
    try:
        with open("/proc/%d/statm" % pid) as f:
            return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)
    except OSError:
        return 0


def thread_count(pid):
    try:
        return len(os.listdir("/proc/%d/task" % pid))
    except OSError:
        return 0


def fd_count(pid):
    try:
        return len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return 0


def private_kib(pid):
    """Memory of the process's own (Private_Clean + Private_Dirty): unlike PSS, it
    does not move when other processes map or drop the same pages."""
    figures = rollup_kib(pid)
    return figures.get("Private_Clean", 0) + figures.get("Private_Dirty", 0)


def sockets(pid):
    """Socket inode -> what it is: "tcp 127.0.0.1:port (state)" by its peer, or "unix" with
    its path, from the process's network namespace."""
    found = {}
    states = {"01": "established", "06": "time-wait", "08": "close-wait", "0A": "listening"}
    for proto in ("tcp", "tcp6", "udp", "udp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, proto)) as f:
                rows = [line.split() for line in f.readlines()[1:]]
        except OSError:
            continue
        for row in rows:
            host, port = row[2].split(":")
            peer = ".".join(str(int(host[i:i + 2], 16)) for i in (6, 4, 2, 0)) \
                if len(host) == 8 else "[v6]"
            found[row[9]] = "%s %s:%d (%s)" % (proto, peer, int(port, 16),
                                              states.get(row[3], row[3]))
    try:
        with open("/proc/%d/net/unix" % pid) as f:
            for row in (line.split() for line in f.readlines()[1:]):
                found[row[6]] = "unix " + (row[7] if len(row) > 7 else "(unnamed)")
    except OSError:
        pass
    return found


def fd_kinds(pid):
    """What the process's open files are: paths, sockets by their peers, pipes and the
    engine's shared memory without their numbers, so that two lists can be compared."""
    kinds = []
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return kinds
    known = sockets(pid)
    for fd in fds:
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        socket = re.match(r"socket:\[(\d+)\]$", target)
        if socket:
            target = known.get(socket.group(1), "socket")
        kinds.append(re.sub(r":\[\d+\]$|(/\.org\.chromium\.Chromium\.)\w+", r"\1", target))
    return sorted(kinds)


def snapshot(pid, seconds=1.0):
    """Medians of files, threads, PSS and private memory over a second of quiet, and the
    kinds of the open files at its end."""
    samples = []
    end = now() + seconds
    while now() < end:
        samples.append((fd_count(pid), thread_count(pid), pss_kib(pid), private_kib(pid)))
        time.sleep(0.05)
    return {"files": statistics.median(s[0] for s in samples),
            "threads": statistics.median(s[1] for s in samples),
            "pss_mib": statistics.median(s[2] for s in samples) / 1024.0,
            "private_mib": statistics.median(s[3] for s in samples) / 1024.0,
            "fds": fd_kinds(pid)}


class Launch:
    """One program started on its own display with fresh home directories.
    kind: "shell" (brindleton, at `binary`), "bareview", "bareview-named" or
    "chromium"."""

    def __init__(self, bench, kind, run, mode="start", binary=None):
        self.bench = bench
        self.kind = kind
        self.binary = binary
        self.run = run
        self.dir = os.path.join(bench.work, run)
        os.makedirs(self.dir)
        self.popen = None
        self.display = None
        self.sound_server = self.sound_client = None
        self.stderr = None
        self.loaded_params = {}
        self.env = self.make_env()
        self.url = "%s/console/index.html?run=%s&mode=%s" % (bench.base, run, mode)
        self.resolv_conf = bench.resolv_conf if mode == "drive" else None

    def make_env(self):
        d = self.dir
        keep = {k: v for k, v in os.environ.items()
                if k in ("LANG", "LC_ALL", "TERM", "USER", "LOGNAME", "SHELL")}
        env = harness.private_env(d, keep)
        env["LANG"] = env.get("LANG", "C.UTF-8")
        # The desktop's opener is a no-op that only notes its calls.
        env["PATH"] = self.bench.noop_bin + ":/usr/local/bin:/usr/bin:/bin"
        env["NOOP_LOG"] = os.path.join(d, "opened.log")
        env["QT_QPA_PLATFORM"] = "xcb"
        env["GST_REGISTRY_1_0"] = self.bench.gst_registry
        env["NO_AT_BRIDGE"] = "1"
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(d, "no-bus")
        return env

    def command(self):
        if self.kind == "shell":
            return [self.binary]
        if self.kind.startswith("bareview"):
            return [os.path.join(BUILD_DIR, "bench", "bareview")]
        if self.kind == "chromium":
            args = ["chromium", "--app=" + self.url,
                    "--window-size=%d,%d" % WINDOW_SIZE,
                    "--user-data-dir=" + os.path.join(self.dir, "chromium-profile"),
                    "--disable-gpu", "--no-first-run", "--no-default-browser-check",
                    "--disable-background-networking", "--disable-component-update",
                    "--disable-sync", "--password-store=basic"]
            if os.geteuid() == 0:
                args.append("--no-sandbox")
            return args
        raise ValueError(self.kind)

    def wrapped_command(self):
        """The command, in a mount namespace whose /etc/resolv.conf names the
        bench's resolver (the process keeps its pid: unshare and sh exec)."""
        if not self.resolv_conf:
            return self.command()
        return (["unshare", "--mount", "--propagation", "private", "sh", "-c",
                 'mount --bind "$0" /etc/resolv.conf && exec "$@"', self.resolv_conf] +
                self.command())

    def start_sound_server(self):
        """PulseAudio with a null sink in the start's own runtime directory, so that sounds play
        to their end as on a desktop: without a sound server every playback fails at once."""
        with open(os.path.join(self.dir, "pulseaudio.log"), "wb") as log:
            self.sound_server = harness.start(
                ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                 "-L", "module-null-sink", "-L", "module-native-protocol-unix"],
                env=self.env, cwd=self.dir, stdout=log, stderr=log)
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "pulse", "native")
        harness.wait_until(lambda: os.path.exists(socket), 30, "the sound server to start")
        # A null sink left idle falls back to 2 s blocks, and a stream that comes then waits
        # out the block: a sound of 0.3 s took 2 s to play. Silence at 20 ms keeps it running
        # as a desktop's sound card does, whose latency follows the streams that play.
        self.sound_client = harness.start(
            ["pacat", "--playback", "--raw", "--latency-msec=20", "/dev/zero"],
            env=self.env, cwd=self.dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        self.display = harness.Display(self.dir)
        if self.kind == "shell":
            self.start_sound_server()
        env = dict(self.env, DISPLAY=self.display.name, BRINDLETON_CONSOLE_URL=self.url)
        if self.kind == "bareview-named":
            env["BAREVIEW_PROFILE"] = "named"
        if self.kind == "shell":
            stderr = subprocess.PIPE
        else:
            stderr = open(os.path.join(self.dir, "stderr.log"), "wb")
        self.spawned = now()
        with open(os.path.join(self.dir, "stdout.log"), "wb") as stdout:
            self.popen = harness.start(self.wrapped_command(), env=env, cwd=self.dir,
                                       stdout=stdout, stderr=stderr)
        if stderr is subprocess.PIPE:
            self.stderr = LineReader(self.popen.stderr, os.path.join(self.dir, "stderr.log"))
            self.stderr.start()

    def wait_loaded(self, after=None, timeout=60, step="the page's load after the start"):
        """Seconds from the start to the first load report after `after`."""
        got = self.bench.pages.wait_loaded(self.run, after or self.spawned, timeout)
        if got is None:
            raise Hung("%s: %s" % (self.run, step), timeout, self.dir)
        t, q = got
        self.loaded_params = q
        return t - self.spawned

    def tree_pss_kib(self):
        pids = harness.tree(self.popen.pid)
        return sum(pss_kib(p) for p in pids), len(pids)

    def stop(self):
        try:
            harness.stop(self.popen, 1.0)
        finally:
            harness.stop(self.sound_client, 1.0)
            harness.stop(self.sound_server, 1.0)
            if self.display:
                self.display.stop()

