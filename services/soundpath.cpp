#include "services/soundpath.h"

#include "platform/platform.h"

#include <QDir>

namespace soundpath {

namespace {

// True when name can only ever denote an entry directly inside one directory.
bool isPlainFileName(const QString &name)
{
    if (name == u'.' || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\' || c.unicode() == 0)
            return false;
        if (platform::isReservedInFileNames(c))
            return false;
    }
    return true;
}

} // namespace

QString fileName(const QUrl &url)
{
    const QString path = url.path(QUrl::FullyDecoded);
    const QString segment = path.mid(path.lastIndexOf(u'/') + 1);
    if (segment.isEmpty())
        return QStringLiteral("index.html");
    return isPlainFileName(segment) ? segment : QString();
}

QString filePath(const QUrl &url)
{
    const QString name = fileName(url);
    if (name.isNull())
        return QString();
    // The temporary directory's canonical path costs a look-up of every part of it; it is
    // looked up again only when the variables that name it change.
    static QString tmpDir, tmpPath;
    const QString dir = qEnvironmentVariable("TMPDIR") + u'\n' + qEnvironmentVariable("TEMP") +
                        u'\n' + qEnvironmentVariable("TMP");
    if (tmpPath.isNull() || dir != tmpDir) {
        tmpDir = dir;
        tmpPath = QDir::tempPath();
    }
    return QDir::toNativeSeparators(tmpPath + u'/' + name);
}

} // namespace soundpath
