// The thin layer over the operating system: name resolution, the store's settings, file
// names, the desktop's opener and the C library's memory.
// Each operating system provides its own implementation file; everything else in
// the program reaches the system only through these functions.
#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <memory>

class QFile;

namespace platform {

// Converts dotted IPv4 text the way inet_addr does (short forms such as "127.1"
// included). Returns the address in network byte order; text that is no address
// gives INADDR_NONE (all bits set), which callers pass on like any other address.
quint32 ipv4FromText(const QByteArray &text);

// A reverse look-up: the host name of an IPv4 address (network byte order), or a
// null string when the address has no name. Must be safe to call from several
// threads at once.
using ReverseResolver = QString (*)(quint32 address);

// The system's resolver (getnameinfo with NI_NAMEREQD).
QString systemReverseLookup(quint32 address);

// Resolves through the installed resolver, the system's unless a test replaced it.
QString reverseLookup(quint32 address);

// Replaces the resolver for the whole process; nullptr restores the system's.
// Call it while no look-up is running.
void setReverseResolver(ReverseResolver resolver);

// The settings that hold the console page's key/value store for the current
// user: the registry key HKEY_CURRENT_USER\Software\Brindleton on Windows,
// ~/.config/Brindleton.conf on Linux.
std::unique_ptr<QSettings> openStore();

// Whether the file system takes names that differ only in case for the same file.
bool fileNamesIgnoreCase();

// Whether the character may not stand in a file name (beyond "/" and NUL).
bool isReservedInFileNames(QChar c);

// Opens the file at path for reading into file, only if it is a regular file that the current
// user owns and that has no other link: one that this user wrote, not one that another account
// put or linked at the name in a shared directory. A symbolic link (or reparse point) at the
// name is not followed, and the open never waits (for a FIFO's writer, say). What is checked is
// the opened file, not the name, so an entry swapped in meanwhile cannot pass. Returns false,
// with file left closed, for anything else, nothing at the path included. Safe from any thread.
bool openOwnFile(const QString &path, QFile *file);

// Hands an absolute address to the desktop, which opens it in the user's browser, mail or phone
// program: xdg-open on Linux, the shell's association on Windows. Returns once the opener runs,
// without waiting for it to end: the opener's process id, 0 when there is no process to collect,
// or -1 when it could not be started. Safe to call from any thread.
qint64 openOnDesktop(const QUrl &url);

// Collects an opener that openOnDesktop() started, without waiting: true once it has ended (or
// was never a process to collect), false while it runs. Holds nothing open between calls.
bool collectOpener(qint64 process);

// Gives the memory that the process has freed and the C library keeps back to the system
// (glibc's malloc_trim); nothing where the C library does it by itself. Safe from any thread.
void releaseFreeMemory();

} // namespace platform
