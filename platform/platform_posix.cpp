#include "platform/platform.h"

#include <QFile>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace platform {

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

qint64 openOnDesktop(const QUrl &url)
{
    // One argument, no shell. glibc's posix_spawn shares the memory with the child until it
    // runs the program, so even a large process pays nothing for copying its page tables; Qt's
    // QProcess::startDetached forks, which cost the web engine's large process about 20 ms.
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
    return error == 0 ? pid : -1;
}

bool collectOpener(qint64 process)
{
    // An opener stays until the browser it started ends, which may be hours: it is asked after,
    // not waited for, and nothing (no process descriptor) is held for it meanwhile.
    return process <= 0 || ::waitpid(pid_t(process), nullptr, WNOHANG) != 0;
}

void releaseFreeMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace platform
