// Lives on a player thread and plays one file at a time there. Reports through the
// callbacks, on its own thread.
//
// A PCM WAV file, the usual alert, streams from the disk into an audio sink of its own. Any
// other file goes to a QMediaPlayer, which plays whatever the media backend can decode; it is
// reused from one sound to the next. Qt 6.4's GStreamer backend can deadlock inside the player
// (the wavparse streaming thread and the player's thread wait on each other), which is why
// WAV files stay out of it, no player runs on the GUI thread, and each play is watched by a
// deadline. (QSoundEffect would keep every sound it ever played in memory.)
#pragma once

#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QObject>
#include <QString>

#include <functional>

class QAudioSink;
class QFile;
class QUrl;

class PlayerWorker : public QObject
{
public:
    std::function<void(qint64 durationMs)> started;
    std::function<void(bool ok)> ended;

    void play(const QUrl &file);

private:
    bool playWave(const QString &path);
    void playMedia(const QUrl &file);
    void onStatus(QMediaPlayer::MediaStatus status);
    void finish(bool ok);

    // How long the sound server may hold the last of a sound before it is heard: the length
    // of the sink's buffer (20 ms at least).
    int bufferMs() const;

    QMediaPlayer *player = nullptr;
    QFile *wave = nullptr;      // the WAV file playing, parent of its decoder and sink
    QAudioSink *sink = nullptr; // null until the file's format is known
    QElapsedTimer clock;        // since the WAV file began
    bool busy = false;
    bool lengthReported = false; // started() is told the length once per sound
};
