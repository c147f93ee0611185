// Fetches sounds over HTTP(S) into the temporary directory, which serves as a cache across
// runs, and plays them. GUI thread only.
//
// Every sound goes through one queue of downloads and one of playbacks, both first come, first
// served: one network access manager for all fetches, on a thread of its own with the writes
// to the files, at most maxDownloads of them at a time, and at most maxPlayers sounds playing
// at a time, each on a thread of its own, so that the GUI thread never waits on the network,
// the disk or the media pipeline. Only a file that this user wrote is played: whatever else
// stands at a sound's name in the shared directory is left alone, and the sound not played.
#pragma once

#include "services/sound/soundjob.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTimer>

class PlayerSlot;
class QNetworkAccessManager;
class QThread;

class SoundService : public QObject
{
    Q_OBJECT
public:
    // Cheap: no thread, no network manager, no media backend until the first play().
    explicit SoundService(QObject *parent = nullptr);
    ~SoundService() override;

    static constexpr int maxDownloads = 4;
    static constexpr int maxPlayers = 2;
    // Sounds not yet ended (waiting, fetching or playing) at which isFull() holds.
    static constexpr int maxWaiting = 256;

    // A fetch still running after this long is given up (default 2 minutes).
    void setDownloadDeadline(int ms);

    // Plays the sound at the URL text exactly as the page sent it: the cached file, or once a
    // fetch of the same file that is already under way has ended, or once its own fetch has.
    void play(const QString &url);

    // True while as many sounds wait as the service may hold; the caller should wait for
    // roomAvailable() before sending more (nothing is dropped).
    bool isFull() const;

signals:
    // Exactly once per play() call, whatever happened, and never from within play().
    void ended(const QString &url, bool played);
    void roomAvailable();

private:
    void startThreads();
    void startFetches();
    void fetchEnded(const QString &path, bool ok, const QString &line);
    void startPlays();
    void failQueuedPlays();
    PlayerSlot *idlePlayer();
    void endSoon(const QString &url); // not played, from the event loop
    void finish(const QString &url, bool played);

    int downloadDeadlineMs = 2 * 60 * 1000;
    int waiting = 0; // play() calls not ended yet
    QThread *fetchThread = nullptr;
    QNetworkAccessManager *network = nullptr; // on the fetch thread
    QQueue<SoundJob> fetchQueue;
    QHash<QString, QStringList> fetches; // by file, queued or under way: the URLs waiting for it
    int downloading = 0;
    QQueue<SoundJob> playQueue;
    QList<PlayerSlot *> players;
    // Players that missed their deadline and whose threads have not ended yet.
    QList<PlayerSlot *> abandonedPlayers;
    QTimer noPlayer;
};
