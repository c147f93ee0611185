// One fetch, on the fetch thread: the request, the writes to the file and the checks, so that
// neither the network nor the disk holds up the window. It reports once, through done, with
// the line to log (empty when none), from the fetch thread or a thread of the pool. Deleting
// it ends the fetch and leaves nothing behind.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

class Download : public QObject
{
public:
    using Done = std::function<void(bool ok, const QString &line)>;

    Download(const QString &url, const QString &path, int deadlineMs, Done done);
    ~Download() override;

    void start(QNetworkAccessManager *network);

private:
    void storeReceived();
    void onReplyFinished();
    static bool commit(QSaveFile *file, const QString &path);

    const QString url;
    const QString path;
    const int deadlineMs;
    const Done done;
    std::unique_ptr<QSaveFile> file;
    QNetworkReply *reply = nullptr;
    bool writeFailed = false;
    bool timedOut = false;
};
