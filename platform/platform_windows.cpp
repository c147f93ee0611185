#include "platform/platform.h"

#include <QScopeGuard>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <objbase.h>
#include <shellapi.h> // needs windows.h, which winsock2.h brings in first

namespace platform {

namespace {

// WinSock must be started before the first look-up; once is enough.
void startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    Q_UNUSED(started);
}

} // namespace

quint32 ipv4FromText(const QByteArray &text)
{
    startWinsock();
    return inet_addr(text.constData());
}

QString systemReverseLookup(quint32 address)
{
    startWinsock();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    wchar_t host[NI_MAXHOST];
    if (GetNameInfoW(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host, NI_MAXHOST, nullptr,
                     0, NI_NAMEREQD) != 0)
        return QString();
    return QString::fromWCharArray(host);
}

std::unique_ptr<QSettings> openStore()
{
    // Exactly this key: with only an organisation name, Qt would write beneath
    // ...\Brindleton\OrganizationDefaults.
    return std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software\\Brindleton"),
                                       QSettings::NativeFormat);
}

bool fileNamesIgnoreCase()
{
    return true;
}

bool isReservedInFileNames(QChar c)
{
    // Drive letters, alternate data streams and wildcards.
    return c.unicode() < 0x20 || QStringView(u"<>:\"|?*/\\").contains(c);
}

qint64 openOnDesktop(const QUrl &url)
{
    // The shell starts the program that the address's scheme is associated with and does not
    // wait for it; values above 32 mean it was started. Some associations are started through
    // COM, which the calling thread (the window's opener pool) must have set up first.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const auto comDone = qScopeGuard([com] {
        if (SUCCEEDED(com))
            CoUninitialize();
    });
    const QString address = QString::fromLatin1(url.toEncoded());
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", reinterpret_cast<const wchar_t *>(address.utf16()), nullptr,
                      nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32 ? 0 : -1;
}

bool collectOpener(qint64)
{
    return true; // the shell's association leaves no process of ours behind
}

void releaseFreeMemory() {}

} // namespace platform
