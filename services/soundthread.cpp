#include "services/soundthread.h"

#include "platform/platform.h"
#include "services/soundpath.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
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

#include <functional>
#include <iostream>
#include <utility>

namespace {

int downloadDeadlineMs = 2 * 60 * 1000;
int playbackDeadlineMs = 30 * 1000;

// Players that missed their deadline and whose threads have not ended yet. Each
// holds a thread and a media pipeline; past this many, no new player is made.
constexpr int maxAbandonedPlayers = 4;

// How much of a body may wait in memory before it is written to the file.
constexpr qint64 readBufferSize = 256 * 1024;

void writeLog(const QString &line)
{
    std::cerr << line.toLocal8Bit().constData() << std::endl;
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

// Lives on a player thread and plays one file at a time there, reusing its
// player. Reports through the callbacks, on its own thread.
//
// A QMediaPlayer rather than QSoundEffect: alert sounds come in any format the
// backend plays, not only WAV. Qt 6.4's GStreamer backend can deadlock in
// setSource() (the wavparse streaming thread and the caller wait on each
// other), which is why no player runs on the GUI thread and each play is
// watched by a deadline.
class PlayerWorker : public QObject
{
public:
    std::function<void(qint64 durationMs)> started;
    std::function<void(bool ok)> ended;

    void play(const QUrl &file)
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
        busy = true;
        running = false;
        // Playing starts once the media is loaded (see onStatus).
        player->setSource(file);
    }

private:
    void onStatus(QMediaPlayer::MediaStatus status)
    {
        if (!busy)
            return;
        if ((status == QMediaPlayer::LoadedMedia || status == QMediaPlayer::BufferedMedia) &&
            !std::exchange(running, true)) {
            started(player->duration());
            player->play();
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
        if (ok)
            player->setSource(QUrl());
        else
            std::exchange(player, nullptr)->deleteLater();
        ended(ok);
    }

    QMediaPlayer *player = nullptr;
    bool busy = false;
    bool running = false;
};

} // namespace

// One player thread, seen from the GUI thread.
class PlayerSlot : public QObject
{
public:
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
        noPlayer.setSingleShot(true);
        connect(&noPlayer, &QTimer::timeout, this, &SoundService::failQueuedPlays);
    }

    ~SoundService() override
    {
        const auto all = findChildren<PlayerSlot *>(Qt::FindDirectChildrenOnly);
        for (PlayerSlot *slot : all)
            slot->thread->quit();
        const QDeadlineTimer patience(2000);
        for (PlayerSlot *slot : all)
            if (!slot->thread->wait(patience))
                slot->setParent(nullptr); // stuck in the pipeline: left behind, whole
    }

    QNetworkAccessManager network;
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
        connect(slot->thread, &QThread::finished, slot->worker, &QObject::deleteLater);
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

void SoundThread::setPlaybackDeadline(int ms)
{
    playbackDeadlineMs = ms;
}

SoundThread::~SoundThread()
{
    if (stage != Stage::FetchQueued && stage != Stage::Fetching)
        return;
    SoundService *service = SoundService::instance();
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    delete file; // an uncommitted file leaves nothing behind
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
    // The body goes to an unnamed or temporary file beside the final one and
    // takes the final name only once complete and checked.
    file = new QSaveFile(path, this);
    file->setDirectWriteFallback(false);
    if (entryAt(path) != Entry::Missing ||
        !file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        writeLog(QStringLiteral("Unable to save the file"));
        endFetch(false);
        return;
    }

    // The path goes out as the URL spells it; user information, query and
    // fragment are not sent.
    QNetworkRequest request(
        QUrl(url).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    reply = SoundService::instance()->network.get(request);
    // Without a limit the network layer reads ahead into memory as fast as the
    // server sends; with one, the body waits in the socket until written out.
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QIODevice::readyRead, this, &SoundThread::storeReceived);
    connect(reply, &QNetworkReply::finished, this, &SoundThread::onReplyFinished);
    deadline = new QTimer(this);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        timedOut = true;
        reply->abort();
    });
    deadline->start(downloadDeadlineMs);
}

void SoundThread::storeReceived()
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

void SoundThread::onReplyFinished()
{
    QNetworkReply *const done = std::exchange(reply, nullptr);
    done->deleteLater();
    delete std::exchange(deadline, nullptr);
    const int status = httpStatus(done);

    if (writeFailed) {
        writeLog(QStringLiteral("Unable to save the file"));
        endFetch(false);
    } else if (timedOut) {
        writeLog(u"Error: The download did not finish within " + seconds(downloadDeadlineMs));
        endFetch(false);
    } else if (status != 0 && !isSuccess(status)) {
        const QString reason =
            done->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        writeLog(u"Error: HTTP " + QString::number(status) + u' ' + reason);
        endFetch(false);
    } else if (done->error() != QNetworkReply::NoError) {
        writeLog(u"Error: " + done->errorString());
        endFetch(false);
    } else if (!isSuccess(status)) {
        writeLog(QStringLiteral("Error: No HTTP status in the reply"));
        endFetch(false);
    } else {
        // Committing waits for the disk (the file is synced before it takes its
        // name): a thread of the pool does it, and the window does not wait.
        QThreadPool::globalInstance()->start([this] {
            const bool ok = commit();
            QMetaObject::invokeMethod(this, [this, ok] {
                if (!ok)
                    writeLog(QStringLiteral("Unable to save the file"));
                endFetch(ok);
            });
        });
    }
}

bool SoundThread::commit()
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

void SoundThread::endFetch(bool ok)
{
    SoundService *service = SoundService::instance();
    if (service->fetches.value(registryKey(path)) == this)
        service->fetches.remove(registryKey(path));
    delete std::exchange(file, nullptr);
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
    stage = Stage::Done;
    emit played(ok);
    deleteLater();
}
