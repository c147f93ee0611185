// One fetch, on the fetch thread: the request, the writes to the file and the checks, so that
// neither the network nor the disk holds up the window. It reports once, through ended(), and
// then deletes itself; deleting it sooner ends the fetch and leaves nothing behind.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

class Download : public QObject
{
    Q_OBJECT
public:
    Download(const QString &url, const QString &path, int deadlineMs);
    ~Download() override;

    void start(QNetworkAccessManager *network);

signals:
    // line is what to log, empty when nothing.
    void ended(const QString &path, bool ok, const QString &line);

private:
    void storeReceived();
    void onReplyFinished();
    void report(bool ok, const QString &line);
    static bool commit(QSaveFile *file, const QString &path);

    const QString url;
    const QString path;
    const int deadlineMs;
    std::unique_ptr<QSaveFile> file;
    QPointer<QNetworkReply> reply; // the network manager deletes its replies as it goes
    bool writeFailed = false;
    bool timedOut = false;
};
