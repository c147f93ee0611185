#include "platform/platform.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

void exitNow(int status)
{
    std::fflush(nullptr);
    ::_exit(status);
}

} // namespace platform
