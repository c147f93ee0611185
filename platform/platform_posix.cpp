#include "platform/platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

namespace {

// Collects the opener once it has ended, without waiting for it: xdg-open stays until the
// browser it started ends, which may be hours. The kernel reports the end on a process
// descriptor that the event loop watches; without one (kernels before 5.3) a timer asks
// once a second.
void collectWhenEnded(pid_t pid)
{
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, pid, fd] {
            ::waitpid(pid, nullptr, WNOHANG);
            notifier->setEnabled(false);
            ::close(fd);
            notifier->deleteLater();
        });
        return;
    }
#endif
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
        if (::waitpid(pid, nullptr, WNOHANG) != 0)
            timer->deleteLater(); // collected, or not ours to collect
    });
    timer->start(1000);
}

} // namespace

quint32 ipv4FromText(const QByteArray &text)
{
    return inet_addr(text.constData());
}

QString systemReverseLookup(quint32 address)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    const int rc = getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host,
                               sizeof host, nullptr, 0, NI_NAMEREQD);
    if (rc != 0)
        return QString();
    return QString::fromUtf8(host);
}

std::unique_ptr<QSettings> openStore()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Brindleton"));
}

bool fileNamesIgnoreCase()
{
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

bool isReservedInFileNames(QChar c)
{
    return c == u'/' || c.unicode() == 0;
}

bool openOwnFile(const QString &path, QFile *file)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Reads block again once the file is known to be a regular one: O_NONBLOCK was for the
    // open alone.
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        info.st_nlink != 1 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        !file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool openOnDesktop(const QUrl &url)
{
    // One argument, no shell. glibc's posix_spawn shares the memory with the child until it
    // runs the program, so even a large process pays nothing for copying its page tables.
    QByteArray address = url.toEncoded();
    char program[] = "xdg-open";
    char *argv[] = {program, address.data(), nullptr};
    // The opener and the browser it starts run in a session of their own, as when started
    // from the desktop (the terminal's Ctrl+C or hang-up is not theirs), and get the signals
    // as a new process has them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t set;
    sigemptyset(&set);
    posix_spawnattr_setsigmask(&attributes, &set); // none blocked
    sigaddset(&set, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &set); // the engine ignores it
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = ::posix_spawnp(&pid, program, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return false;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [pid] { collectWhenEnded(pid); });
    return true;
}

void releaseFreeMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace platform
