// The page's persistent key/value store, kept by QSettings for the current user
// (the registry on Windows, ~/.config/Brindleton.conf on Linux). The store is read
// once, when the Store is made; from then on it is answered from memory, and writes
// reach the disk from a thread of the Store's own, so that the GUI thread never
// waits for the file. Values written by other running instances are merged in.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

class QTimer;

namespace localstore {

class Writer;

class Store : public QObject
{
    Q_OBJECT
public:
    // Loads the store; the page needs its values before its first document.
    explicit Store(QObject *parent = nullptr);
    // Writes what is pending, at once, before returning.
    ~Store() override;

    // The stored value, from memory: a null string when the key was never written, an
    // empty (not null) one for an empty value.
    QString value(const QString &key) const;

    // Stores value under key now; the disk follows within about a second. Keys that are not
    // valid Unicode are refused.
    void setValue(const QString &key, const QString &value);

    // Every key with its value, from memory.
    QHash<QString, QString> values() const;

    // Writes what is pending now and returns once it is on disk.
    void flush();

signals:
    // What another process changed in the store's file since it was last read: new or
    // changed values, and removed keys. Keys with a write of ours not yet on disk are left
    // out, since ours is newer. Where the store is no file (the registry, on Windows) nothing
    // watches it: what others changed shows only when a write of ours reads the store back.
    void changedElsewhere(const QHash<QString, QString> &values, const QStringList &removed);

    // To the writer's thread: values to merge into the store, and the number of the newest
    // write among them.
    void writeRequested(const QHash<QString, QString> &values, quint64 generation, QPrivateSignal);

private:
    void handOff();
    void schedule();
    void takeReport(const QHash<QString, QString> &changed, const QStringList &removed,
                    quint64 written);

    QHash<QString, QString> memory;
    // Values set since the last hand-off to the writer.
    QHash<QString, QString> dirty;
    // For each key not yet known to be on disk, the number of its last write.
    QHash<QString, quint64> unwritten;
    quint64 generation = 0;     // the number of the last write
    quint64 handed = 0;         // the last write handed to the writer
    quint64 confirmed = 0;      // the last write the writer has finished
    QElapsedTimer sinceWritten; // since the last write was finished
    QTimer *delay;
    QThread thread;
    Writer *writer;
};

// The name under which a key is kept in the settings store. QSettings treats
// "/" and "\" as group separators, so keys holding them, the empty key and keys
// holding the escape character are percent-encoded behind a leading "%"; every
// other key keeps its own name, as earlier versions stored it.
QString storageName(const QString &key);

} // namespace localstore
