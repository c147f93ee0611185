#include "services/sound/playerworker.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QAudioSink>
#include <QFile>
#include <QMediaDevices>
#include <QTimer>
#include <QUrl>
#include <QWaveDecoder>

#include <memory>
#include <utility>

void PlayerWorker::play(const QUrl &file)
{
    busy = true;
    lengthReported = false;
    if (!playWave(file.toLocalFile()))
        playMedia(file);
}

bool PlayerWorker::playWave(const QString &path)
{
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        finish(false); // gone since it was queued, or unreadable: no player would do better
        return true;
    }
    auto *decoder = new QWaveDecoder(file.get(), file.get());
    if (!decoder->open(QIODevice::ReadOnly) || !decoder->audioFormat().isValid())
        return false; // not a WAV file that a sink takes as it is
    QFile *playing = wave = file.release();
    wave->setParent(this);
    const QAudioDevice output = QMediaDevices::defaultAudioOutput();
    if (output.isNull()) {
        finish(false);
        return true;
    }
    sink = new QAudioSink(output, decoder->audioFormat(), wave);
    // The header's length, or less when the file holds less (a header written for a stream).
    const int length = int(qMin<qint64>(
        decoder->duration(), decoder->audioFormat().durationForBytes(wave->size()) / 1000));
    started(length);
    connect(sink, &QAudioSink::stateChanged, wave, [=] {
        if (wave != playing)
            return;
        if (sink->error() != QAudio::NoError && sink->error() != QAudio::UnderrunError)
            finish(false);
        else if (sink->state() == QAudio::IdleState && decoder->atEnd())
            // All of it is with the sound server now, which plays it out in the sound's
            // own time, and began it one buffer late; stopping the sink any sooner would
            // cut the end off.
            QTimer::singleShot(qMax(0, length - int(clock.elapsed())) + bufferMs(), playing, [=] {
                if (wave == playing)
                    finish(true);
            });
    });
    clock.start();
    sink->start(decoder);
    if (wave == playing && sink->state() == QAudio::StoppedState)
        finish(false);
    return true;
}

void PlayerWorker::playMedia(const QUrl &file)
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
    // can deadlock with the decoder's own thread as it connects its output (Qt 6.4).
    player->setSource(file);
    player->play();
}

void PlayerWorker::onStatus(QMediaPlayer::MediaStatus status)
{
    if (!busy)
        return;
    if ((status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) &&
        !std::exchange(lengthReported, true)) {
        started(player->duration());
    } else if (status == QMediaPlayer::EndOfMedia)
        finish(true);
    else if (status == QMediaPlayer::InvalidMedia)
        finish(false);
}

void PlayerWorker::finish(bool ok)
{
    if (!std::exchange(busy, false))
        return;
    // The file is let go, so that it can be removed or replaced; after a
    // failure, the next sound gets a fresh pipeline.
    if (QFile *file = std::exchange(wave, nullptr)) {
        if (sink)
            std::exchange(sink, nullptr)->stop(); // before its source goes
        file->deleteLater();                      // with its decoder and sink
    } else if (player && ok) {
        player->setSource(QUrl());
    } else if (player) {
        std::exchange(player, nullptr)->deleteLater();
    }
    ended(ok);
}

int PlayerWorker::bufferMs() const
{
    return qMax(20, int(sink->format().durationForBytes(sink->bufferSize()) / 1000));
}
