// The console's downloads, saved as a browser saves them by default: into the user's download
// folder under the name that the page or the server suggests, made safe and never over a file
// that is there. The engine writes into a hidden folder of the download's own beside it, and the
// file is moved into place once complete; a download that fails leaves nothing behind.
#pragma once

#include <QObject>
#include <QString>

class ConsolePage;
class QWebEngineDownloadRequest;
class QWebEngineProfile;

class Downloads : public QObject
{
    Q_OBJECT
public:
    Downloads(QWebEngineProfile *profile, ConsolePage *page, QObject *parent);

    // The suggested name without path parts, control characters or leading dots, at most
    // 200 bytes of UTF-8 with its extension kept; "download" when nothing is left.
    static QString safeName(const QString &suggested);

signals:
    void started(const QString &name);
    void progress(const QString &name, qint64 received, qint64 total);
    void saved(const QString &path);
    void failed(const QString &name, const QString &reason);

private:
    void take(QWebEngineDownloadRequest *request);

    ConsolePage *page;
};
