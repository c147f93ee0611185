// Fetches a sound over HTTP(S) into the temporary directory, which serves as a
// cache across runs, and plays it.
#pragma once

#include <QObject>
#include <QString>

class QMediaPlayer;
class QNetworkAccessManager;
class QNetworkReply;
class QFile;

class SoundThread : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SoundThread() override;

    // The URL text exactly as the page passed it; set before start().
    QString url;

    // Plays the cached file at once, joins a fetch of the same file that is
    // already under way, or starts a fetch. Call once, on the GUI thread. The
    // object deletes itself when its work is over: after playback, or at once
    // when there is nothing to play.
    void start();

signals:
    // The fetch this object started, or waited for, has ended, successfully or
    // not. Not emitted when the file was present or could not be saved.
    void finished();
    // Playback has ended; ok is false when the player could not play the file.
    void played(bool ok);

private:
    void waitFor(SoundThread *fetcher);
    void fetch(const QUrl &source);
    bool openPartFile();
    void discardPartFile();
    void storeReceived();
    void onReplyFinished();
    bool moveIntoPlace();
    void endFetch(bool ok);
    void play();
    void endPlayback(bool ok);

    QString path;
    QNetworkAccessManager *network = nullptr;
    QNetworkReply *reply = nullptr;
    QFile *partFile = nullptr;
    QMediaPlayer *player = nullptr;
    bool registered = false;
    bool fetched = false;
    bool writeFailed = false;
    bool playbackEnded = false;
};
