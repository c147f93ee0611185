#include "console/localstore.h"

#include "platform/platform.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <memory>

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

// Every key kept in the settings, with its value.
QHash<QString, QString> contents(QSettings &settings)
{
    QHash<QString, QString> values;
    const QStringList names = settings.childKeys();
    values.reserve(names.size());
    for (const QString &name : names) {
        const QString key = keyOf(name);
        if (!key.isNull())
            values.insert(key, decodeValue(settings.value(name)));
    }
    return values;
}

// The file that holds the store (empty where the store is no file).
QString fileOf(const QSettings &settings)
{
    return QFileInfo(settings.fileName()).isAbsolute() ? settings.fileName() : QString();
}

// What tells one version of the store's file from another.
struct FileState
{
    QDateTime modified;
    qint64 size = -1;
    bool operator==(const FileState &other) const
    {
        return modified == other.modified && size == other.size;
    }
};

FileState stateOf(const QString &file)
{
    const QFileInfo info(file);
    return info.exists() ? FileState{info.lastModified(), info.size()} : FileState();
}

// How long writes are gathered before they go to disk, while they continue.
constexpr int writeIntervalMs = 1000;

} // namespace

// Writes the store and follows its file, on the Store's thread. It knows the store as the
// file held it when last read or written, and reports how the file differs from that.
class Writer : public QObject
{
    Q_OBJECT
public:
    Writer(const QHash<QString, QString> &known, const QString &file, const FileState &seen)
        : known(known), file(file), seen(seen)
    {
    }

    // On the thread: watches the file, and reports changes made while the store was loaded.
    void start()
    {
        // A copy of its own, made here rather than at memory's first change on the GUI thread.
        known.detach();
        if (file.isEmpty())
            return; // the registry, which tells nobody of its changes
        // The store is replaced by a new file on each write: watch the directory for the
        // replacement, and the file for changes in place.
        watcher = new QFileSystemWatcher(this);
        settle = new QTimer(this);
        settle->setSingleShot(true);
        settle->setInterval(5);
        connect(settle, &QTimer::timeout, this, [this] {
            watch();
            look();
        });
        connect(watcher, &QFileSystemWatcher::fileChanged, settle, qOverload<>(&QTimer::start));
        connect(watcher, &QFileSystemWatcher::directoryChanged, settle,
                qOverload<>(&QTimer::start));
        watch();
        look();
    }

    // Sets only the given keys on the file as it is now: QSettings re-reads a file changed
    // since, under its lock file, and writes the merged whole through a new file that
    // replaces the old one, so other instances' keys stay and a crash leaves a whole file.
    void write(const QHash<QString, QString> &values, quint64 generation)
    {
        const std::unique_ptr<QSettings> settings = platform::openStore();
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings->setValue(storageName(it.key()), encodeValue(it.value()));
        settings->sync();
        if (settings->status() != QSettings::NoError)
            qCWarning(lcStore).noquote() << "Unable to write the store" << settings->fileName();
        // Taken at once: another writer first waits for the lock, then reads the file. A change
        // that still slipped in would show at the next comparison, which covers the whole file.
        seen = stateOf(file);
        written = generation;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            known.insert(it.key(), it.value());
        // The file now holds what others wrote since we last looked, too.
        compare(contents(*settings), true);
    }

    // Nothing: called across threads and waited for, it returns once the writes handed over
    // before it are done.
    void catchUp() {}

signals:
    // How the file differs from what was known, and the last write of ours that it holds.
    void reported(const QHash<QString, QString> &changed, const QStringList &removed,
                  quint64 written);

private:
    void watch()
    {
        const QFileInfo info(file);
        QDir().mkpath(info.absolutePath());
        if (!watcher->directories().contains(info.absolutePath()))
            watcher->addPath(info.absolutePath());
        if (info.exists() && !watcher->files().contains(file))
            watcher->addPath(file);
    }

    void look()
    {
        const FileState now = stateOf(file);
        if (now == seen)
            return; // our own write, or a change of another file in the directory
        seen = now;
        const std::unique_ptr<QSettings> settings = platform::openStore();
        compare(contents(*settings), false);
    }

    void compare(const QHash<QString, QString> &now, bool always)
    {
        QHash<QString, QString> changed;
        QStringList removed;
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            // Unchanged values keep the text that memory shares.
            auto was = known.find(it.key());
            if (was == known.end() || *was != it.value()) {
                known.insert(it.key(), it.value());
                changed.insert(it.key(), it.value());
            }
        }
        for (auto it = known.begin(); it != known.end();) {
            if (now.contains(it.key())) {
                ++it;
            } else {
                removed.append(it.key());
                it = known.erase(it);
            }
        }
        if (always || !changed.isEmpty() || !removed.isEmpty())
            emit reported(changed, removed, written);
    }

    QHash<QString, QString> known;
    const QString file;
    FileState seen; // the file as last read or written
    quint64 written = 0;
    QFileSystemWatcher *watcher = nullptr;
    QTimer *settle = nullptr;
};

Store::Store(QObject *parent) : QObject(parent), delay(new QTimer(this))
{
    const std::unique_ptr<QSettings> settings = platform::openStore(); // reads the file
    const QString file = fileOf(*settings);
    // Taken after the read: a change in between shows at the next comparison.
    const FileState seen = stateOf(file);
    memory = contents(*settings);

    writer = new Writer(memory, file, seen);
    writer->moveToThread(&thread);
    connect(&thread, &QThread::started, writer, &Writer::start);
    connect(&thread, &QThread::finished, writer, &QObject::deleteLater);
    connect(this, &Store::writeRequested, writer, &Writer::write);
    connect(writer, &Writer::reported, this, &Store::takeReport);
    delay->setSingleShot(true);
    connect(delay, &QTimer::timeout, this, &Store::handOff);
    thread.setObjectName(QStringLiteral("store"));
    thread.start();
}

Store::~Store()
{
    flush();
    thread.quit();
    thread.wait();
}

QString Store::value(const QString &key) const
{
    return memory.value(key);
}

QHash<QString, QString> Store::values() const
{
    return memory;
}

void Store::setValue(const QString &key, const QString &value)
{
    if (!isValidUnicode(key)) {
        qCWarning(lcStore) << "Refused to store a key that is not valid Unicode";
        return;
    }
    // An empty value reads back as empty, never as "absent".
    const QString stored = value.isNull() ? QLatin1String("") : value;
    memory.insert(key, stored);
    dirty.insert(key, stored);
    unwritten.insert(key, ++generation);
    schedule();
}

void Store::flush()
{
    delay->stop();
    handOff();
    if (confirmed < handed) {
        QMetaObject::invokeMethod(writer, &Writer::catchUp, Qt::BlockingQueuedConnection);
        confirmed = handed;
        sinceWritten.start();
    }
}

// The first write after a quiet second goes at the end of the event loop's pass, so that a
// single write is on disk (and seen by other instances) at once; writes that follow wait until
// a second after the write before them has finished, and go together. The lock file is thus
// free for a second between two writes, however long one takes: another instance's QSettings,
// which polls for the lock at growing intervals, gets its turn.
void Store::schedule()
{
    if (dirty.isEmpty() || delay->isActive() || confirmed < handed)
        return;
    const qint64 elapsed = sinceWritten.isValid() ? sinceWritten.elapsed() : writeIntervalMs;
    delay->start(int(qMax<qint64>(0, writeIntervalMs - elapsed)));
}

void Store::handOff()
{
    if (dirty.isEmpty())
        return;
    QHash<QString, QString> values;
    values.swap(dirty);
    handed = generation;
    emit writeRequested(values, generation, QPrivateSignal());
}

void Store::takeReport(const QHash<QString, QString> &changed, const QStringList &removed,
                       quint64 written)
{
    // A value from elsewhere is newer than ours unless ours was set after the file was read;
    // reports arrive in the order the writer made them, so their numbers only grow.
    QHash<QString, QString> values;
    QStringList gone;
    for (auto it = changed.cbegin(); it != changed.cend(); ++it) {
        if (unwritten.value(it.key()) <= written) {
            memory.insert(it.key(), it.value());
            values.insert(it.key(), it.value());
        }
    }
    for (const QString &key : removed) {
        if (unwritten.value(key) <= written) {
            memory.remove(key);
            gone.append(key);
        }
    }
    for (auto it = unwritten.begin(); it != unwritten.end();)
        it = *it <= written ? unwritten.erase(it) : std::next(it);
    if (written > confirmed) {
        confirmed = written;
        sinceWritten.start();
    }
    schedule();
    if (!values.isEmpty() || !gone.isEmpty())
        emit changedElsewhere(values, gone);
}

} // namespace localstore

#include "localstore.moc"
