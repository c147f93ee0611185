// The page's persistent key/value store, kept by QSettings for the current user
// (the registry on Windows, ~/.config/Brindleton.conf on Linux). Every operation
// opens the store afresh, so values written by one running instance are read by
// the others and by later runs.
#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QTimer>

#include <memory>

namespace localstore {

// The stored value, or a null string when the key was never written.
QString read(const QString &key);

// Stores value under key, replacing any earlier value.
void write(const QString &key, const QString &value);

// The name under which a key is kept in the settings store. QSettings treats
// "/" and "\" as group separators, so keys holding them, the empty key and keys
// holding the escape character are percent-encoded behind a leading "%"; every
// other key keeps its own name, as earlier versions stored it.
QString storageName(const QString &key);

// While a Batch exists, read() and write() share one settings object, which
// writes the store out once when the batch ends instead of once per write.
// Reads within the batch see its writes; other processes see them at its end.
class Batch
{
public:
    Batch();
    ~Batch();
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;

private:
    std::unique_ptr<QSettings> settings;
};

// Every key that read() finds, with its value.
QHash<QString, QString> snapshot();

// The file that holds the store (empty where the store is no file).
QString storeFile();

// Reports changes of the store's file, by this or any other process.
class Watcher : public QObject
{
    Q_OBJECT
public:
    explicit Watcher(QObject *parent = nullptr);

signals:
    void changed();

private:
    void watch();

    QFileSystemWatcher *watcher;
    QTimer *settle;
    QDateTime lastModified;
    qint64 lastSize = -1;
};

} // namespace localstore
