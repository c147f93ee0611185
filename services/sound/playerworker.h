// Lives on a player thread and plays one file at a time there. Reports through its signals, from
// its own thread.
//
// The file is opened only when it is this user's own (platform::openOwnFile), and played from
// that open file, whatever takes its name meanwhile. A PCM WAV file, the usual alert, streams
// from it into an audio sink of its own. Any other file goes to a QMediaPlayer, which plays
// whatever the media backend can decode; it is reused from one sound to the next. Qt 6.4's
// GStreamer backend can deadlock inside the player (the wavparse streaming thread and the
// player's thread wait on each other), which is why WAV files stay out of it, no player runs on
// the GUI thread, and each play is watched by a deadline. (QSoundEffect would keep every sound
// it ever played in memory.)
#pragma once

#include <QElapsedTimer>
#include <QMediaPlayer>
#include <QObject>
#include <QString>

class QAudioSink;
class QFile;
class QUrl;

class PlayerWorker : public QObject
{
    Q_OBJECT
public:
    void play(const QString &path);

signals:
    // The file is this user's own and is being played; ended() follows in any case.
    void opened();
    // The length of the sound, once known.
    void lengthKnown(qint64 durationMs);
    // Once per play(); ok is false when the file could not be opened or played.
    void ended(bool ok);

private:
    bool playWave();
    void playMedia(const QUrl &name);
    void onStatus(QMediaPlayer::MediaStatus status);
    void finish(bool ok);

    // How long the sound server may hold the last of a sound before it is heard: the length
    // of the sink's buffer (20 ms at least).
    int bufferMs() const;

    QMediaPlayer *player = nullptr;
    QFile *source = nullptr;    // the file playing, parent of a WAV file's decoder and sink
    QAudioSink *sink = nullptr; // null until a WAV file's format is known
    QElapsedTimer clock;        // since the WAV file began
    bool busy = false;
    bool lengthReported = false; // lengthKnown() is emitted once per sound
};
