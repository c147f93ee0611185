// Times the passes of a program's GUI event loop from outside the program's code.
//
// Loaded with LD_PRELOAD by bench/flood.py. Qt on Linux runs its GUI thread's event loop
// on GLib's main context, which waits for events in poll() (GLib 2.74, Debian 12) or
// ppoll() (GLib 2.84, Debian 13); everything the thread does between one such wait
// returning and the next being called (checking the sources,
// dispatching the events, timers and posted events, preparing the next wait) is one pass
// of the loop, during which the window cannot answer anything else. This library wraps
// poll and ppoll, and on the process's main thread only, when the caller is the loop's
// library (GLib unless BENCH_LOOP_LIB names another), times each pass: wall time, the
// thread's processor time in it, its time waiting for a processor (the kernel's run
// delay, from /proc/thread-self/schedstat) and its time in polls of other libraries (such
// as libxcb waiting on the X connection). The rest of the wall time the thread was blocked
// otherwise: on a lock, or in a wait of its own.
//
// Environment:
//   BENCH_LOOP_FILE    where the figures go (appended, one line each; nothing is timed
//                      without it)
//   BENCH_LOOP_EXE     only the process running this executable times its loop; its
//                      helper processes, and the wrappers that start it, do not. That
//                      process also takes LD_PRELOAD out of its environment, so that the
//                      processes it starts do not load this library at all.
//   BENCH_LOOP_MIN_MS  passes at least this long get a line of their own (default 1)
//   BENCH_LOOP_LIB     a part of the file name of the loop's library (default
//                      "libglib-2.0.so")
//
// Lines (times in seconds of CLOCK_MONOTONIC, the bench's clock; durations in ms):
//   start <time> <pid>                           once, when the library starts timing
//   loop <library> <found|missing>               at the first poll of the main thread
//   pass <start> <wall ms> <on a processor ms> <waiting for one ms> <in other polls ms>
//                                                every pass of at least BENCH_LOOP_MIN_MS
//   count <time> <passes> <poll> <ppoll> <other> at most every 0.5 s, at a poll: passes
//       so far, the loop's waits through poll and through ppoll, and the main thread's
//       polls from anywhere else (which are part of a pass, not its end)
//
// Lines are written while the program runs (it may end with _exit, which runs no exit
// handlers), one write() each, so the file can be read at any time.

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

using PollFn = int (*)(pollfd *, nfds_t, int);
using PpollFn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);
using PollChkFn = int (*)(pollfd *, nfds_t, int, size_t);
using PpollChkFn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *, size_t);

bool timing; // set once, before main: this process's loop is timed
pid_t mainPid;
int out = -1;
double minMs = 1.0;
const char *loopLib = "libglib-2.0.so";
bool looked; // the loop library's code range was looked for
uintptr_t loopLo, loopHi;
int schedstat = -1; // the main thread's /proc/thread-self/schedstat
bool inPass;
double passStart, passCpuStart, passDelayStart, passOther, lastCount;
unsigned long passes, viaPoll, viaPpoll, other;
__thread int threadKind; // 0 not known yet, 1 the main thread, 2 another

double clockSeconds(clockid_t id)
{
    timespec ts;
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void put(const char *line, int length)
{
    if (length > 0 && write(out, line, size_t(length)) < 0) {
        // The bench reads what arrived; a lost line cannot be reported anywhere else.
    }
}

template <typename Fn> Fn next(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int findLoopLib(dl_phdr_info *info, size_t, void *)
{
    if (!info->dlpi_name || !std::strstr(info->dlpi_name, loopLib))
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X))
            continue;
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        if (!loopLo || lo < loopLo)
            loopLo = lo;
        if (lo + ph.p_memsz > loopHi)
            loopHi = lo + ph.p_memsz;
    }
    return 1;
}

// Seconds the calling thread has waited for a processor so far (0 without schedstat).
double runDelay()
{
    char text[96];
    const ssize_t n = schedstat < 0 ? -1 : pread(schedstat, text, sizeof text - 1, 0);
    if (n <= 0)
        return 0.0;
    text[n] = '\0';
    unsigned long long onCpu = 0, waited = 0;
    return std::sscanf(text, "%llu %llu", &onCpu, &waited) == 2 ? double(waited) / 1e9 : 0.0;
}

bool onMainThread()
{
    if (!threadKind)
        threadKind = gettid() == mainPid ? 1 : 2;
    return threadKind == 1;
}

// Called before the main thread's wait. Returns whether it is the loop's own wait.
bool beforeWait(const void *caller, bool ppoll)
{
    if (!looked) {
        looked = true;
        dl_iterate_phdr(findLoopLib, nullptr);
        schedstat = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        char line[256];
        put(line, std::snprintf(line, sizeof line, "loop %s %s\n", loopLib,
                                loopHi ? "found" : "missing"));
    }
    const auto at = reinterpret_cast<uintptr_t>(caller);
    if (!(at >= loopLo && at < loopHi)) {
        ++other;
        return false;
    }
    const double now = clockSeconds(CLOCK_MONOTONIC);
    char line[160];
    if (inPass) {
        ++passes;
        const double ms = (now - passStart) * 1000.0;
        if (ms >= minMs) {
            const double cpuMs = (clockSeconds(CLOCK_THREAD_CPUTIME_ID) - passCpuStart) * 1000.0;
            const double delayMs = (runDelay() - passDelayStart) * 1000.0;
            put(line, std::snprintf(line, sizeof line, "pass %.6f %.3f %.3f %.3f %.3f\n", passStart,
                                    ms, cpuMs, delayMs, passOther * 1000.0));
        }
    }
    ++(ppoll ? viaPpoll : viaPoll);
    if (now - lastCount >= 0.5) {
        lastCount = now;
        put(line, std::snprintf(line, sizeof line, "count %.6f %lu %lu %lu %lu\n", now, passes,
                                viaPoll, viaPpoll, other));
    }
    return true;
}

void afterWait()
{
    inPass = true;
    passStart = clockSeconds(CLOCK_MONOTONIC);
    passCpuStart = clockSeconds(CLOCK_THREAD_CPUTIME_ID);
    passDelayStart = runDelay();
    passOther = 0.0;
}

__attribute__((constructor)) void startTiming()
{
    const char *file = std::getenv("BENCH_LOOP_FILE");
    const char *exe = std::getenv("BENCH_LOOP_EXE");
    if (!file || !*file)
        return;
    if (exe && *exe) {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return;
        self[n] = '\0';
        if (std::strcmp(self, exe) != 0)
            return;
    }
    out = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    if (const char *v = std::getenv("BENCH_LOOP_MIN_MS"))
        minMs = std::atof(v);
    if (const char *v = std::getenv("BENCH_LOOP_LIB"); v && *v)
        loopLib = strdup(v);
    unsetenv("LD_PRELOAD");
    mainPid = getpid();
    timing = true;
    char line[96];
    put(line, std::snprintf(line, sizeof line, "start %.6f %d\n", clockSeconds(CLOCK_MONOTONIC),
                            int(mainPid)));
}

} // namespace

// The return address is taken here, in the wrapper the caller called, so that it names the
// caller's library.
#define BENCH_WAIT(isPpoll, call)                                                                  \
    do {                                                                                           \
        if (!timing || !onMainThread())                                                            \
            return call;                                                                           \
        const bool loop = beforeWait(__builtin_return_address(0), isPpoll);                        \
        const double other = loop ? 0.0 : clockSeconds(CLOCK_MONOTONIC);                           \
        const int r = call;                                                                        \
        if (loop)                                                                                  \
            afterWait();                                                                           \
        else                                                                                       \
            passOther += clockSeconds(CLOCK_MONOTONIC) - other;                                    \
        return r;                                                                                  \
    } while (false)

extern "C" {

int poll(pollfd *fds, nfds_t nfds, int timeout)
{
    static const PollFn real = next<PollFn>("poll");
    BENCH_WAIT(false, real(fds, nfds, timeout));
}

int ppoll(pollfd *fds, nfds_t nfds, const timespec *timeout, const sigset_t *mask)
{
    static const PpollFn real = next<PpollFn>("ppoll");
    BENCH_WAIT(true, real(fds, nfds, timeout, mask));
}

// What poll and ppoll become in code built with _FORTIFY_SOURCE when the array's size is
// known.
int __poll_chk(pollfd *fds, nfds_t nfds, int timeout, size_t fdslen)
{
    static const PollChkFn real = next<PollChkFn>("__poll_chk");
    BENCH_WAIT(false, real(fds, nfds, timeout, fdslen));
}

int __ppoll_chk(pollfd *fds, nfds_t nfds, const timespec *timeout, const sigset_t *mask,
                size_t fdslen)
{
    static const PpollChkFn real = next<PpollChkFn>("__ppoll_chk");
    BENCH_WAIT(true, real(fds, nfds, timeout, mask, fdslen));
}

} // extern "C"
