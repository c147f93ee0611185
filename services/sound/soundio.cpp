#include "services/sound/soundio.h"

#include <QByteArray>
#include <QFileInfo>

#include <iostream>

namespace soundio {

void writeLog(const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::cerr.write(text.constData(), text.size());
    std::cerr.flush();
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0) + u" s";
}

Entry entryAt(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return Entry::Other;
    if (!info.exists())
        return Entry::Missing;
    return info.isFile() ? Entry::RegularFile : Entry::Other;
}

} // namespace soundio
