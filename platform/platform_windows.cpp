#include "platform/platform.h"

#include <QFile>
#include <QScopeGuard>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <aclapi.h> // as shellapi.h, needs windows.h
#include <fcntl.h>
#include <io.h>
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

// Whether the file's owner is the one that this process gives what it creates: the user, or the
// Administrators group for an elevated administrator.
bool ownedByThisProcessOwner(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const auto freeDescriptor = qScopeGuard([descriptor] { LocalFree(descriptor); });
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const auto closeToken = qScopeGuard([token] { CloseHandle(token); });
    DWORD size = 0;
    GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
    QByteArray buffer(qsizetype(size), Qt::Uninitialized);
    if (size == 0 || !GetTokenInformation(token, TokenOwner, buffer.data(), size, &size))
        return false;
    return EqualSid(owner, reinterpret_cast<const TOKEN_OWNER *>(buffer.constData())->Owner);
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

bool openOwnFile(const QString &path, QFile *file)
{
    // Others may read or delete the file while it is open, not change it. A reparse point (a
    // symbolic link, a junction) is opened as itself, and then refused.
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    int fd = -1;
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        info.nNumberOfLinks == 1 && ownedByThisProcessOwner(handle))
        fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return false;
    }
    // The descriptor owns the handle from here.
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return false;
    }
    return true;
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
