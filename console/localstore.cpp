#include "console/localstore.h"

#include <QSettings>
#include <QVariant>

namespace localstore {

namespace {

const QChar escapeChar = u'%';

bool needsEscaping(const QString &key)
{
    if (key.isEmpty())
        return true;
    for (const QChar c : key) {
        if (c == u'/' || c == u'\\' || c == escapeChar)
            return true;
    }
    return false;
}

} // namespace

QString storageName(const QString &key)
{
    if (!needsEscaping(key))
        return key;
    QString name;
    name.reserve(key.size() + 8);
    name += escapeChar;
    for (const QChar c : key) {
        switch (c.unicode()) {
        case u'/':
            name += QLatin1String("%2F");
            break;
        case u'\\':
            name += QLatin1String("%5C");
            break;
        case u'%':
            name += QLatin1String("%25");
            break;
        default:
            name += c;
        }
    }
    return name;
}

QString read(const QString &key)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brindleton"));
    const QVariant value = settings.value(storageName(key), QVariant());
    if (!value.isValid())
        return QString();
    // A stored empty value reads back as empty, never as "absent".
    QString text = value.toString();
    if (text.isNull())
        text = QLatin1String("");
    return text;
}

void write(const QString &key, const QString &value)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brindleton"));
    settings.setValue(storageName(key), QVariant(value));
}

} // namespace localstore
