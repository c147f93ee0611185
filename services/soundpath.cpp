#include "services/soundpath.h"

#include "platform/platform.h"

#include <QCryptographicHash>
#include <QDir>

namespace soundpath {

namespace {

// True when name can only ever denote a visible entry directly inside one directory.
bool isPlainFileName(const QString &name)
{
    if (name.startsWith(u'.'))
        return false;
    for (const QChar c : name) {
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control)
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
    QString segment = path.mid(path.lastIndexOf(u'/') + 1);
    if (segment.isEmpty())
        segment = QStringLiteral("index.html");
    if (!isPlainFileName(segment))
        return QString();
    const QString query = url.query(QUrl::FullyEncoded);
    if (query.isEmpty())
        return segment;
    const QByteArray hash =
        QCryptographicHash::hash(query.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    const qsizetype dot = segment.lastIndexOf(u'.');
    const qsizetype stem = dot < 0 ? segment.size() : dot;
    return segment.left(stem) + u'.' + QLatin1String(hash) + segment.mid(stem);
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
