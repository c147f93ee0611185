#include "services/soundthread.h"

#include "platform/platform.h"
#include "services/memorytrim.h"
#include "services/soundpath.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QAudioSink>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QQueue>
#include <QSaveFile>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QWaveDecoder>

#include <functional>
#include <iostream>
#include <memory>
#include <utility>

namespace {

int downloadDeadlineMs = 2 * 60 * 1000;
// Time a player is given to start, and to end beyond the length of the sound; a player that
// misses it is abandoned.
constexpr int playbackDeadlineMs = 30 * 1000;

// Players that missed their deadline and whose threads have not ended yet. Each
// holds a thread and a media pipeline; past this many, no new player is made.
constexpr int maxAbandonedPlayers = 4;

// How much of a body may wait in memory before it is written to the file.
constexpr qint64 readBufferSize = 256 * 1024;

// One write per line: the media backend's threads log to the same stream, and a line must
// not be split by theirs.
void writeLog(const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::cerr.write(text.constData(), text.size());
    std::cerr.flush();
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0) + u" s";
}

QString registryKey(const QString &path)
{
    return platform::fileNamesIgnoreCase() ? path.toCaseFolded() : path;
}

// Why a URL cannot be fetched, or an empty string when it can.
QString unfetchableReason(const QUrl &source)
{
    if (source.isEmpty())
        return QStringLiteral("No URL given");
    if (!source.isValid())
        return u"Invalid URL: " + source.errorString();
    const QString scheme = source.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return u"Unsupported URL scheme \"" + scheme + u"\": only http and https are fetched";
    if (source.host().isEmpty())
        return QStringLiteral("No host in the URL");
    return QString();
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// What the directory entry at path is, without following a symbolic link.
enum class Entry { Missing, RegularFile, Other };
Entry entryAt(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return Entry::Other;
    if (!info.exists())
        return Entry::Missing;
    return info.isFile() ? Entry::RegularFile : Entry::Other;
}

// Lives on a player thread and plays one file at a time there. Reports through the
// callbacks, on its own thread.
//
// A PCM WAV file, the usual alert, streams from the disk into an audio sink of its own. Any
// other file goes to a QMediaPlayer, which plays whatever the media backend can decode; it is
// reused from one sound to the next. Qt 6.4's GStreamer backend can deadlock inside the player
// (the wavparse streaming thread and the player's thread wait on each other), which is why
// WAV files stay out of it, no player runs on the GUI thread, and each play is watched by a
// deadline. (QSoundEffect would keep every sound it ever played in memory.)
class PlayerWorker : public QObject
{
public:
    std::function<void(qint64 durationMs)> started;
    std::function<void(bool ok)> ended;

    void play(const QUrl &file)
    {
        busy = true;
        lengthReported = false;
        if (!playWave(file.toLocalFile()))
            playMedia(file);
    }

private:
    bool playWave(const QString &path)
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
                QTimer::singleShot(qMax(0, length - int(clock.elapsed())) + bufferMs(), playing,
                                   [=] {
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

    void playMedia(const QUrl &file)
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

    void onStatus(QMediaPlayer::MediaStatus status)
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

    void finish(bool ok)
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

    // How long the sound server may hold the last of a sound before it is heard: the length
    // of the sink's buffer (20 ms at least).
    int bufferMs() const
    {
        return qMax(20, int(sink->format().durationForBytes(sink->bufferSize()) / 1000));
    }

    QMediaPlayer *player = nullptr;
    QFile *wave = nullptr;      // the WAV file playing, parent of its decoder and sink
    QAudioSink *sink = nullptr; // null until the file's format is known
    QElapsedTimer clock;        // since the WAV file began
    bool busy = false;
    bool lengthReported = false; // started() is told the length once per sound
};

// One fetch, on the fetch thread: the request, the writes to the file and the checks, so that
// neither the network nor the disk holds up the window. It reports once, through done, with
// the line to log (empty when none), from the fetch thread or a thread of the pool. Deleting
// it ends the fetch and leaves nothing behind.
class Download : public QObject
{
public:
    using Done = std::function<void(bool ok, const QString &line)>;

    Download(const QString &url, const QString &path, int deadlineMs, Done done)
        : url(url), path(path), deadlineMs(deadlineMs), done(std::move(done))
    {
    }

    ~Download() override
    {
        if (reply) {
            reply->disconnect(this);
            reply->abort();
            delete reply;
        }
    }

    void start(QNetworkAccessManager *network)
    {
        // The body goes to an unnamed or temporary file beside the final one and
        // takes the final name only once complete and checked.
        file = std::make_unique<QSaveFile>(path);
        file->setDirectWriteFallback(false);
        if (entryAt(path) != Entry::Missing ||
            !file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            done(false, QStringLiteral("Unable to save the file"));
            return;
        }

        // The path goes out as the URL spells it; user information, query and
        // fragment are not sent.
        QNetworkRequest request(
            QUrl(url).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::NoLessSafeRedirectPolicy);
        reply = network->get(request);
        // Without a limit the network layer reads ahead into memory as fast as the
        // server sends; with one, the body waits in the socket until written out.
        reply->setReadBufferSize(readBufferSize);
        connect(reply, &QIODevice::readyRead, this, &Download::storeReceived);
        connect(reply, &QNetworkReply::finished, this, &Download::onReplyFinished);
        auto *deadline = new QTimer(this);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this] {
            timedOut = true;
            reply->abort();
        });
        deadline->start(deadlineMs);
    }

private:
    void storeReceived()
    {
        if (!isSuccess(httpStatus(reply))) {
            // An error page is no sound: drop it.
            reply->skip(reply->bytesAvailable());
            return;
        }
        const QByteArray data = reply->readAll();
        if (file->write(data) != data.size()) {
            writeFailed = true;
            reply->abort();
        }
    }

    void onReplyFinished()
    {
        const std::unique_ptr<QNetworkReply> ended(std::exchange(reply, nullptr));
        ended->disconnect(this);
        const int status = httpStatus(ended.get());

        if (writeFailed) {
            done(false, QStringLiteral("Unable to save the file"));
        } else if (timedOut) {
            done(false, u"Error: The download did not finish within " + seconds(deadlineMs));
        } else if (status != 0 && !isSuccess(status)) {
            const QString reason =
                ended->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
            done(false, u"Error: HTTP " + QString::number(status) + u' ' + reason);
        } else if (ended->error() != QNetworkReply::NoError) {
            done(false, u"Error: " + ended->errorString());
        } else if (!isSuccess(status)) {
            done(false, QStringLiteral("Error: No HTTP status in the reply"));
        } else {
            // Committing waits for the disk (the file is synced before it takes
            // its name): a thread of the pool does it, and other fetches go on.
            QThreadPool::globalInstance()->start(
                [file = std::shared_ptr<QSaveFile>(std::move(file)), path = path, done = done] {
                    const bool ok = commit(file.get(), path);
                    done(ok, ok ? QString() : QStringLiteral("Unable to save the file"));
                });
        }
    }

    static bool commit(QSaveFile *file, const QString &path)
    {
        // Whatever took the name meanwhile stays: a regular file is a sound stored
        // by someone else and is played; anything else means the name is taken.
        switch (entryAt(path)) {
        case Entry::Missing:
            return file->commit();
        case Entry::RegularFile:
            file->cancelWriting();
            return true;
        case Entry::Other:
            return false;
        }
        return false;
    }

    const QString url;
    const QString path;
    const int deadlineMs;
    const Done done;
    std::unique_ptr<QSaveFile> file;
    QNetworkReply *reply = nullptr;
    bool writeFailed = false;
    bool timedOut = false;
};

} // namespace

// One player thread, seen from the GUI thread.
class PlayerSlot : public QObject
{
public:
    ~PlayerSlot() override
    {
        // Once its thread has ended, nothing else touches the worker. (A deleteLater() from
        // the thread's finished() was not always carried out.)
        if (thread->isFinished())
            delete worker;
    }

    QThread *thread = new QThread(this);
    PlayerWorker *worker = new PlayerWorker;
    QTimer *deadline = new QTimer(this);
    QPointer<SoundThread> sound;
    bool busy = false;
};

// The queues and shared objects behind every SoundThread. GUI thread only.
class SoundService : public QObject
{
public:
    static SoundService *instance()
    {
        static QPointer<SoundService> service;
        if (!service)
            service = new SoundService(QCoreApplication::instance());
        return service;
    }

    explicit SoundService(QObject *parent) : QObject(parent)
    {
        // The media backend sets itself up on first use; here rather than on a
        // player thread that may be abandoned.
        QMediaDevices::defaultAudioOutput();
        network->moveToThread(fetchThread);
        connect(fetchThread, &QThread::finished, network, &QObject::deleteLater);
        fetchThread->start();
        noPlayer.setSingleShot(true);
        connect(&noPlayer, &QTimer::timeout, this, &SoundService::failQueuedPlays);
    }

    ~SoundService() override
    {
        fetchThread->quit();
        if (fetchThread->wait(QDeadlineTimer(2000)))
            delete fetchThread; // else left behind, whole
        // Every slot, abandoned ones included (PlayerSlot has no meta-object of its own, so
        // findChildren would take any child for one).
        QList<PlayerSlot *> all;
        for (QObject *child : children())
            if (auto *slot = dynamic_cast<PlayerSlot *>(child))
                all.append(slot);
        for (PlayerSlot *slot : all)
            slot->thread->quit();
        const QDeadlineTimer patience(2000);
        for (PlayerSlot *slot : all)
            if (!slot->thread->wait(patience))
                slot->setParent(nullptr); // stuck in the pipeline: left behind, whole
    }

    // Every fetch runs on this thread, with this network manager.
    // Not a child: the children are the player slots.
    QThread *fetchThread = new QThread;
    QNetworkAccessManager *network = new QNetworkAccessManager;
    QHash<QString, SoundThread *> fetches; // queued or under way, by file
    QQueue<QPointer<SoundThread>> fetchQueue;
    QQueue<QPointer<SoundThread>> playQueue;
    int downloading = 0;
    bool startingFetches = false;

    void startFetches()
    {
        // A fetch that fails at once calls back in here; the outer loop goes on.
        if (startingFetches)
            return;
        startingFetches = true;
        while (downloading < SoundThread::maxDownloads && !fetchQueue.isEmpty())
            if (SoundThread *sound = fetchQueue.dequeue()) {
                ++downloading;
                sound->fetch();
            }
        startingFetches = false;
    }

    void startPlays()
    {
        while (!playQueue.isEmpty()) {
            PlayerSlot *slot = idlePlayer();
            if (!slot)
                break;
            if (SoundThread *sound = playQueue.dequeue())
                begin(slot, sound);
        }
        // With no player left, the queue waits for an abandoned one to end,
        // and gives up when none does in time.
        if (playQueue.isEmpty() || !players.isEmpty())
            noPlayer.stop();
        else if (!noPlayer.isActive())
            noPlayer.start(playbackDeadlineMs);
    }

    void failQueuedPlays()
    {
        for (SoundThread *sound : std::exchange(playQueue, {}))
            if (sound) {
                writeLog(QStringLiteral("Error: Sound output is not responding"));
                sound->endPlayback(false);
            }
    }

private:
    PlayerSlot *idlePlayer()
    {
        for (PlayerSlot *slot : std::as_const(players))
            if (!slot->busy)
                return slot;
        if (players.size() >= SoundThread::maxPlayers || abandoned >= maxAbandonedPlayers)
            return nullptr;
        auto *slot = new PlayerSlot;
        slot->setParent(this);
        slot->deadline->setSingleShot(true);
        connect(slot->deadline, &QTimer::timeout, this, [this, slot] { abandon(slot); });
        slot->worker->moveToThread(slot->thread);
        slot->worker->started = [slot](qint64 durationMs) {
            QMetaObject::invokeMethod(slot, [slot, durationMs] {
                if (slot->busy)
                    slot->deadline->start(
                        int(qBound(qint64(0), durationMs, qint64(24 * 3600 * 1000))) +
                        playbackDeadlineMs);
            });
        };
        slot->worker->ended = [this, slot](bool ok) {
            QMetaObject::invokeMethod(slot, [this, slot, ok] { end(slot, ok); });
        };
        slot->thread->start();
        players.append(slot);
        return slot;
    }

    void begin(PlayerSlot *slot, SoundThread *sound)
    {
        slot->busy = true;
        slot->sound = sound;
        sound->stage = SoundThread::Stage::Playing;
        slot->deadline->start(playbackDeadlineMs);
        const QUrl file = QUrl::fromLocalFile(sound->path);
        PlayerWorker *worker = slot->worker;
        QMetaObject::invokeMethod(worker, [worker, file] { worker->play(file); });
    }

    void end(PlayerSlot *slot, bool ok)
    {
        if (!slot->busy)
            return;
        slot->busy = false;
        slot->deadline->stop();
        if (SoundThread *sound = std::exchange(slot->sound, nullptr))
            sound->endPlayback(ok);
        startPlays();
    }

    // Gives up a player that missed its deadline: its thread is left to end
    // in its own time, and a fresh player takes its place.
    void abandon(PlayerSlot *slot)
    {
        writeLog(u"Error: The sound did not play to its end within " + seconds(playbackDeadlineMs) +
                 u" of its length; its player was abandoned");
        players.removeOne(slot);
        ++abandoned;
        slot->busy = false;
        connect(slot->thread, &QThread::finished, this, [this, slot] {
            slot->thread->wait();
            slot->deleteLater();
            --abandoned;
            startPlays();
        });
        slot->thread->quit();
        if (SoundThread *sound = std::exchange(slot->sound, nullptr))
            sound->endPlayback(false);
        startPlays();
    }

    QList<PlayerSlot *> players;
    int abandoned = 0;
    QTimer noPlayer;
};

void SoundThread::setDownloadDeadline(int ms)
{
    downloadDeadlineMs = ms;
}

SoundThread::~SoundThread()
{
    if (stage != Stage::FetchQueued && stage != Stage::Fetching)
        return;
    SoundService *service = SoundService::instance();
    if (download)
        download->deleteLater(); // ends the fetch; an uncommitted file leaves nothing behind
    if (service->fetches.value(registryKey(path)) == this) {
        // Destroyed while fetching: whoever waits gets nothing to play.
        service->fetches.remove(registryKey(path));
        emit finished();
    }
    if (stage == Stage::Fetching) {
        --service->downloading;
        service->startFetches();
    }
}

void SoundThread::start()
{
    Q_ASSERT(thread() == QThread::currentThread());
    const QUrl source(url);
    path = soundpath::filePath(source);
    SoundService *service = SoundService::instance();
    if (path.isNull()) {
        writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    }
    if (SoundThread *fetcher = service->fetches.value(registryKey(path))) {
        waitFor(fetcher);
        return;
    }
    switch (entryAt(path)) {
    case Entry::RegularFile:
        play();
        return;
    case Entry::Other:
        writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    case Entry::Missing:
        break;
    }
    const QString reason = unfetchableReason(source);
    if (!reason.isEmpty()) {
        writeLog(u"Error: " + reason);
        endFetch(false);
        return;
    }
    service->fetches.insert(registryKey(path), this);
    service->fetchQueue.enqueue(this);
    stage = Stage::FetchQueued;
    service->startFetches();
}

void SoundThread::waitFor(SoundThread *fetcher)
{
    stage = Stage::Waiting;
    connect(fetcher, &SoundThread::finished, this, [this, fetcher] {
        const bool ok = fetcher->fetched;
        emit finished();
        if (ok)
            play();
        else
            deleteLater();
    });
}

void SoundThread::fetch()
{
    stage = Stage::Fetching;
    SoundService *service = SoundService::instance();
    // The answer comes back through the service, which outlives every fetch; a sound
    // destroyed meanwhile gets nothing.
    const QPointer<SoundThread> self(this);
    auto *fetch =
        new Download(url, path, downloadDeadlineMs, [service, self](bool ok, const QString &line) {
            QMetaObject::invokeMethod(service, [self, ok, line] {
                if (self)
                    self->fetchEnded(ok, line);
            });
        });
    download = fetch;
    fetch->moveToThread(service->fetchThread);
    QNetworkAccessManager *network = service->network;
    QMetaObject::invokeMethod(fetch, [fetch, network] { fetch->start(network); });
}

void SoundThread::fetchEnded(bool ok, const QString &line)
{
    std::exchange(download, nullptr)->deleteLater();
    if (!line.isEmpty())
        writeLog(line);
    endFetch(ok);
}

void SoundThread::endFetch(bool ok)
{
    SoundService *service = SoundService::instance();
    if (service->fetches.value(registryKey(path)) == this)
        service->fetches.remove(registryKey(path));
    fetched = ok;
    emit finished();
    if (std::exchange(stage, Stage::Done) == Stage::Fetching) {
        --service->downloading;
        service->startFetches();
    }
    if (ok)
        play();
    else
        deleteLater();
}

void SoundThread::play()
{
    writeLog(u"Play file " + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
    stage = Stage::PlayQueued;
    SoundService *service = SoundService::instance();
    service->playQueue.enqueue(this);
    service->startPlays();
}

void SoundThread::endPlayback(bool ok)
{
    memorytrim::workEnded();
    stage = Stage::Done;
    emit played(ok);
    deleteLater();
}
