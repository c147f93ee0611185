#include "console/localstore.h"

#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSettings>
#include <QUrl>

#include <QVariant>

Q_LOGGING_CATEGORY(lcStore, "brindleton.store")

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

// A value that is not valid Unicode (it holds a lone surrogate) would lose that
// code unit in the settings file; such a value is kept as its UTF-16 code units
// behind this tag, which no value of earlier versions carries.
const QByteArray utf16Tag = QByteArrayLiteral("utf-16le:");

bool isValidUnicode(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return false;
    }
    return true;
}

QVariant encodeValue(const QString &value)
{
    if (isValidUnicode(value))
        return QVariant(value);
    QByteArray bytes = utf16Tag;
    for (const QChar c : value) {
        bytes += char(c.unicode() & 0xff);
        bytes += char(c.unicode() >> 8);
    }
    return QVariant(bytes);
}

QString decodeValue(const QVariant &value)
{
    if (value.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = value.toByteArray();
        if (bytes.startsWith(utf16Tag)) {
            QString text;
            for (qsizetype i = utf16Tag.size(); i + 1 < bytes.size(); i += 2)
                text += QChar(char16_t(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8));
            return text;
        }
    }
    // A stored empty value reads back as empty, never as "absent".
    QString text = value.toString();
    if (text.isNull())
        text = QLatin1String("");
    return text;
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

namespace {

// The key whose storage name is name, or a null string when no key is kept
// under that name (names of groups, or written by hand).
QString keyOf(const QString &name)
{
    QString key = name;
    if (name.startsWith(escapeChar)) {
        key = QUrl::fromPercentEncoding(name.mid(1).toUtf8());
        if (key.isNull())
            key = QLatin1String("");
    }
    return storageName(key) == name ? key : QString();
}

} // namespace

QHash<QString, QString> snapshot()
{
    const std::unique_ptr<QSettings> settings = platform::openStore();
    QHash<QString, QString> values;
    const QStringList names = settings->childKeys();
    for (const QString &name : names) {
        const QString key = keyOf(name);
        if (key.isNull())
            continue;
        values.insert(key, decodeValue(settings->value(name)));
    }
    return values;
}

QString storeFile()
{
    const std::unique_ptr<QSettings> settings = platform::openStore();
    return QFileInfo(settings->fileName()).isAbsolute() ? settings->fileName() : QString();
}

Watcher::Watcher(QObject *parent)
    : QObject(parent), watcher(new QFileSystemWatcher(this)), settle(new QTimer(this))
{
    // The store is replaced by a new file on each write: watch the directory
    // for the replacement, and the file for changes in place.
    settle->setSingleShot(true);
    settle->setInterval(5);
    connect(settle, &QTimer::timeout, this, [this] {
        watch();
        emit changed();
    });
    connect(watcher, &QFileSystemWatcher::fileChanged, settle, qOverload<>(&QTimer::start));
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        const QString file = storeFile();
        const QFileInfo info(file);
        if (info.lastModified() != lastModified || info.size() != lastSize)
            settle->start();
    });
    watch();
}

void Watcher::watch()
{
    const QString file = storeFile();
    if (file.isEmpty())
        return;
    const QFileInfo info(file);
    lastModified = info.lastModified();
    lastSize = info.size();
    QDir().mkpath(info.absolutePath());
    if (!watcher->directories().contains(info.absolutePath()))
        watcher->addPath(info.absolutePath());
    if (info.exists() && !watcher->files().contains(file))
        watcher->addPath(file);
}

namespace {

// The settings object of the batch under way, if any (GUI thread only).
QSettings *batchSettings = nullptr;

} // namespace

Batch::Batch()
{
    if (!batchSettings) {
        settings = platform::openStore();
        batchSettings = settings.get();
    }
}

namespace {

void writeOut(QSettings &settings)
{
    settings.sync();
    if (settings.status() != QSettings::NoError)
        qCWarning(lcStore).noquote() << "Unable to write the store" << settings.fileName();
}

} // namespace

Batch::~Batch()
{
    if (settings) {
        batchSettings = nullptr;
        writeOut(*settings);
    }
}

QString read(const QString &key)
{
    std::unique_ptr<QSettings> own;
    if (!batchSettings)
        own = platform::openStore();
    QSettings &settings = batchSettings ? *batchSettings : *own;
    const QVariant value = settings.value(storageName(key), QVariant());
    if (!value.isValid())
        return QString();
    return decodeValue(value);
}

void write(const QString &key, const QString &value)
{
    if (!isValidUnicode(key)) {
        qCWarning(lcStore) << "Refused to store a key that is not valid Unicode";
        return;
    }
    std::unique_ptr<QSettings> own;
    if (!batchSettings)
        own = platform::openStore();
    QSettings &settings = batchSettings ? *batchSettings : *own;
    settings.setValue(storageName(key), encodeValue(value));
    if (own)
        writeOut(*own);
}

} // namespace localstore
