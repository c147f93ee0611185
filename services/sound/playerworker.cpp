#include "services/sound/playerworker.h"

#include "platform/platform.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QAudioSink>
#include <QFile>
#include <QMediaDevices>
#include <QTimer>
#include <QUrl>
#include <QWaveDecoder>

#include <utility>

void PlayerWorker::play(const QString &path)
{
    busy = true;
    lengthReported = false;
    auto *file = new QFile(this);
    if (!platform::openOwnFile(path, file)) {
        delete file;
        finish(false);
        return;
    }
    source = file;
    emit opened();
    if (!playWave())
        playMedia(QUrl::fromLocalFile(path));
}

bool PlayerWorker::playWave()
{
    QFile *const playing = source;
    auto *decoder = new QWaveDecoder(playing, playing);
    // A sink takes whole frames only: given part of one, Qt 6.4's PulseAudio sink fails and
    // keeps the sound server's lock, which holds up every other player and, once this thread
    // ends, aborts the program. Such a file goes to the media player.
    if (!decoder->open(QIODevice::ReadOnly) || !decoder->audioFormat().isValid() ||
        (playing->size() - playing->pos()) % decoder->audioFormat().bytesPerFrame() != 0) {
        delete decoder;
        playing->seek(0);
        return false; // not a WAV file that a sink takes as it is
    }
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (output.isNull()) {
        finish(false);
        return true;
    }
    sink = new QAudioSink(output, decoder->audioFormat(), playing);
    // The header's length, or less when the file holds less (a header written for a stream).
    const int length = int(qMin<qint64>(
        decoder->duration(), decoder->audioFormat().durationForBytes(playing->size()) / 1000));
    emit lengthKnown(length);
    connect(sink, &QAudioSink::stateChanged, playing, [=] {
        if (source != playing)
            return;
        if (sink->error() != QAudio::NoError && sink->error() != QAudio::UnderrunError)
            finish(false);
        else if (sink->state() == QAudio::IdleState && decoder->atEnd())
            // All of it is with the sound server now, which plays it out in the sound's
            // own time, and began it one buffer late; stopping the sink any sooner would
            // cut the end off.
            QTimer::singleShot(qMax(0, length - int(clock.elapsed())) + bufferMs(), playing, [=] {
                if (source == playing)
                    finish(true);
            });
    });
    clock.start();
    sink->start(decoder);
    if (source == playing && sink->state() == QAudio::StoppedState)
        finish(false);
    return true;
}

void PlayerWorker::playMedia(const QUrl &name)
{
    if (!player) {
        player = new QMediaPlayer(this);
        player->setAudioOutput(new QAudioOutput(player));
        connect(player, &QMediaPlayer::mediaStatusChanged, this, &PlayerWorker::onStatus);
        connect(player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error e) {
            if (e != QMediaPlayer::NoError)
                finish(false);
        });
    }
    // Asked to play at once: a play() once the media has loaded flushes the pipeline, which
    // can deadlock with the decoder's own thread as it connects its output (Qt 6.4). The name
    // tells the backend the file's type.
    player->setSourceDevice(source, name);
    player->play();
}

void PlayerWorker::onStatus(QMediaPlayer::MediaStatus status)
{
    if (!busy)
        return;
    if ((status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) &&
        !std::exchange(lengthReported, true)) {
        emit lengthKnown(player->duration());
    } else if (status == QMediaPlayer::EndOfMedia)
        finish(true);
    else if (status == QMediaPlayer::InvalidMedia)
        finish(false);
}

void PlayerWorker::finish(bool ok)
{
    if (!std::exchange(busy, false))
        return;
    // The file is let go, so that it can be removed or replaced; after a failure, the next
    // sound gets a fresh pipeline.
    QFile *const file = std::exchange(source, nullptr);
    if (sink)
        std::exchange(sink, nullptr)->stop(); // before its source goes
    else if (player && ok)
        player->setSource(QUrl());
    else if (player)
        std::exchange(player, nullptr)->deleteLater();
    if (file)
        file->deleteLater(); // with a WAV file's decoder and sink
    emit ended(ok);
}

int PlayerWorker::bufferMs() const
{
    return qMax(20, int(sink->format().durationForBytes(sink->bufferSize()) / 1000));
}
