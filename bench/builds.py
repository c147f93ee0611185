"""Installing what the benchmark needs, and building what it measures."""

import os
import shutil
import subprocess
import sys

from common import BUILD_DIR, ROOT, git, log

# The same names on Debian 12 and 13.
EXTRA_PACKAGES = ["chromium", "python3-xlib", "x11-utils", "xvfb", "openbox", "hyperfine",
                  "gstreamer1.0-tools", "pulseaudio", "pulseaudio-utils"]


def package_installed(name):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return "install ok installed" in r.stdout


def install_packages():
    subprocess.run([os.path.join(ROOT, "scripts", "install-deps")], check=True)
    missing = [p for p in EXTRA_PACKAGES if not package_installed(p)]
    if not missing:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    log("installing", " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "update", "-q"], check=True, env=env)
    subprocess.run(sudo + ["apt-get", "install", "-y", "-q", "--no-install-recommends"] + missing,
                   check=True, env=env)


class Shell:
    """One build of brindleton to measure."""

    def __init__(self, key, label, binary, commit):
        self.key, self.label, self.binary, self.commit = key, label, binary, commit


PROGRAM_DIRS = ["app", "console", "notify", "services", "platform", "CMakeLists.txt"]


def build(args):
    """Builds the working tree (the bare view and its brindleton) and every
    revision asked for, and returns the shells to measure."""
    if not args.no_build:
        log("building the working tree into", BUILD_DIR)
        subprocess.run([os.path.join(ROOT, "scripts", "build"), BUILD_DIR,
                        "-DCMAKE_BUILD_TYPE=Release", "-DBRINDLETON_BUILD_BENCH=ON",
                        "-DBRINDLETON_BUILD_TESTS=OFF"], check=True)
    shells = []
    for rev in args.rev or ["worktree"]:
        if rev == "worktree":
            head = git("rev-parse", "--short", "HEAD")
            if head:
                dirty = bool(git("status", "--porcelain", "--untracked-files=no", "--",
                                 *PROGRAM_DIRS))
                label = "brindleton `%s`%s" % (head, " + changes" if dirty else "")
                commit = head + (" with uncommitted changes" if dirty else "")
            else:  # a copy of the tree without git: its commit is what --commit says
                commit = args.commit or "unknown"
                label = "brindleton `%s`" % commit
            shells.append(Shell("worktree", label, os.path.join(BUILD_DIR, "brindleton"),
                                commit))
            continue
        sha = git("rev-parse", "--verify", "--quiet", rev + "^{commit}")
        if not sha:
            sys.exit("bench/run: no such revision: " + rev)
        short = git("rev-parse", "--short", sha)
        # The revision's files, exported without touching the repository's state.
        base = os.path.join(BUILD_DIR, "rev", sha)
        src, out = os.path.join(base, "src"), os.path.join(base, "build")
        if not os.path.isdir(src):
            tmp = src + ".part"
            shutil.rmtree(tmp, ignore_errors=True)
            os.makedirs(tmp)
            archive = subprocess.Popen(["git", "-C", ROOT, "archive", "--format=tar", sha],
                                       stdout=subprocess.PIPE)
            subprocess.run(["tar", "-x", "-C", tmp], stdin=archive.stdout, check=True)
            archive.stdout.close()
            if archive.wait() != 0:
                sys.exit("bench/run: git archive failed for " + rev)
            os.rename(tmp, src)
        if not args.no_build or not os.path.exists(os.path.join(out, "brindleton")):
            log("building", short, "into", out)
            subprocess.run(["cmake", "-S", src, "-B", out, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DBRINDLETON_BUILD_TESTS=OFF"],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", out, "--target", "brindleton", "--parallel",
                            str(os.cpu_count() or 1)], check=True)
        shells.append(Shell(short, "brindleton `%s`" % short, os.path.join(out, "brindleton"),
                            short))
    return shells

