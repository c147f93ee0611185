// Fetches a sound over HTTP(S) into the temporary directory, which serves as a
// cache across runs, and plays it.
//
// Every command goes through one queue of downloads and one of playbacks, both
// first come, first served: one network access manager for all fetches, on a
// thread of its own with the writes to the files, at most maxDownloads of them at
// a time, and at most maxPlayers sounds playing at a time, each on a thread of its
// own, so that the GUI thread never waits on the network, the disk or the media
// pipeline.
#pragma once

#include <QObject>
#include <QString>

class SoundService;

class SoundThread : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~SoundThread() override;

    static constexpr int maxDownloads = 4;
    static constexpr int maxPlayers = 2;

    // A fetch still running after this long is given up (default 2 minutes).
    static void setDownloadDeadline(int ms);

    // The URL text exactly as the page passed it; set before start().
    QString url;

    // Plays the cached file, joins a fetch of the same file that is already
    // queued or under way, or queues a fetch. Call once, on the GUI thread. The
    // object deletes itself when its work is over: after playback, or as soon
    // as there is nothing to play.
    void start();

signals:
    // The fetch this object ran, or waited for, has ended, successfully or
    // not. Not emitted when the file was present or the name unusable.
    void finished();
    // Playback has ended; ok is false when the file could not be played.
    void played(bool ok);

private:
    friend class SoundService;
    enum class Stage { Idle, FetchQueued, Fetching, Waiting, PlayQueued, Playing, Done };

    void waitFor(SoundThread *fetcher);
    void fetch();
    void fetchEnded(bool ok, const QString &line);
    void endFetch(bool ok);
    void play();
    void endPlayback(bool ok);

    QString path;
    Stage stage = Stage::Idle;
    QObject *download = nullptr; // the fetch under way, on the fetch thread
    bool fetched = false;
};
