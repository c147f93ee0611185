#include "services/sound/soundservice.h"

#include "platform/platform.h"
#include "services/memorytrim.h"
#include "services/sound/download.h"
#include "services/sound/playerslot.h"
#include "services/sound/soundio.h"
#include "services/soundpath.h"

#include <QAudioDevice>
#include <QDeadlineTimer>
#include <QMediaDevices>
#include <QNetworkAccessManager>
#include <QThread>
#include <QUrl>

#include <utility>

namespace {

// How long a sound waits for a player while none is left (each was abandoned and its thread
// has not ended yet) before it is given up.
constexpr int noPlayerDeadlineMs = 30 * 1000;

// Players that missed their deadline and whose threads have not ended yet. Each holds a
// thread and a media pipeline; past this many, no new player is made.
constexpr int maxAbandonedPlayers = 4;

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

} // namespace

SoundService::SoundService(QObject *parent) : QObject(parent)
{
    noPlayer.setSingleShot(true);
    connect(&noPlayer, &QTimer::timeout, this, &SoundService::failQueuedPlays);
}

SoundService::~SoundService()
{
    if (fetchThread) {
        fetchThread->quit();
        if (!fetchThread->wait(QDeadlineTimer(2000)))
            fetchThread->setParent(nullptr); // held up by the disk: left behind, whole
    }
    const QList<PlayerSlot *> all = players + abandonedPlayers;
    for (PlayerSlot *slot : all)
        slot->quitThread();
    const QDeadlineTimer patience(2000);
    for (PlayerSlot *slot : all)
        if (!slot->waitThread(patience))
            slot->setParent(nullptr); // stuck in the media pipeline: left behind, whole
}

void SoundService::setDownloadDeadline(int ms)
{
    downloadDeadlineMs = ms;
}

bool SoundService::isFull() const
{
    return waiting >= maxWaiting;
}

void SoundService::play(const QString &url)
{
    ++waiting;
    if (!fetchThread)
        startThreads();
    const QUrl source(url);
    const QString path = soundpath::filePath(source);
    if (path.isNull()) {
        soundio::writeLog(QStringLiteral("Unable to save the file"));
        endSoon(url);
        return;
    }
    const auto fetch = fetches.find(registryKey(path));
    if (fetch != fetches.end()) {
        fetch->append(url);
        return;
    }
    if (soundio::entryAt(path) != soundio::Entry::Missing) {
        // Whatever it is, the player looks at it and plays it only if it is this user's own
        // file: what another put there is never fetched over.
        playQueue.enqueue({url, path});
        startPlays();
        return;
    }
    const QString reason = unfetchableReason(source);
    if (!reason.isEmpty()) {
        soundio::writeLog(u"Error: " + reason);
        endSoon(url);
        return;
    }
    fetches.insert(registryKey(path), {url});
    fetchQueue.enqueue({url, path});
    startFetches();
}

void SoundService::startThreads()
{
    // The media backend sets itself up on first use; here rather than on a player thread
    // that may be abandoned.
    QMediaDevices::defaultAudioOutput();
    fetchThread = new QThread(this);
    network = new QNetworkAccessManager;
    network->moveToThread(fetchThread);
    connect(fetchThread, &QThread::finished, network, &QObject::deleteLater);
    fetchThread->start();
}

void SoundService::startFetches()
{
    while (downloading < maxDownloads && !fetchQueue.isEmpty()) {
        const SoundJob job = fetchQueue.dequeue();
        ++downloading;
        auto *download = new Download(job.url, job.path, downloadDeadlineMs);
        connect(download, &Download::ended, this, &SoundService::fetchEnded);
        // One still there as the thread ends goes with it, after the network manager.
        connect(fetchThread, &QThread::finished, download, &QObject::deleteLater);
        download->moveToThread(fetchThread);
        QNetworkAccessManager *const manager = network;
        QMetaObject::invokeMethod(download, [download, manager] { download->start(manager); });
    }
}

void SoundService::fetchEnded(const QString &path, bool ok, const QString &line)
{
    if (!line.isEmpty())
        soundio::writeLog(line);
    --downloading;
    for (const QString &url : fetches.take(registryKey(path))) {
        if (ok)
            playQueue.enqueue({url, path});
        else
            finish(url, false);
    }
    startFetches();
    startPlays();
}

void SoundService::startPlays()
{
    while (!playQueue.isEmpty()) {
        PlayerSlot *slot = idlePlayer();
        if (!slot)
            break;
        slot->play(playQueue.dequeue());
    }
    // With no player left, the queue waits for an abandoned one to end, and gives up when
    // none does in time.
    if (playQueue.isEmpty() || !players.isEmpty())
        noPlayer.stop();
    else if (!noPlayer.isActive())
        noPlayer.start(noPlayerDeadlineMs);
}

void SoundService::failQueuedPlays()
{
    for (const SoundJob &job : std::exchange(playQueue, {})) {
        soundio::writeLog(QStringLiteral("Error: Sound output is not responding"));
        finish(job.url, false);
    }
}

PlayerSlot *SoundService::idlePlayer()
{
    for (PlayerSlot *slot : std::as_const(players))
        if (!slot->isBusy())
            return slot;
    if (players.size() >= maxPlayers || abandonedPlayers.size() >= maxAbandonedPlayers)
        return nullptr;
    auto *slot = new PlayerSlot(this);
    connect(slot, &PlayerSlot::abandoned, this, [this, slot] {
        players.removeOne(slot);
        abandonedPlayers.append(slot);
    });
    connect(slot, &PlayerSlot::released, this, [this, slot] {
        abandonedPlayers.removeOne(slot);
        startPlays();
    });
    connect(slot, &PlayerSlot::ended, this, [this](const QString &url, bool played) {
        finish(url, played);
        startPlays();
    });
    players.append(slot);
    return slot;
}

void SoundService::endSoon(const QString &url)
{
    QTimer::singleShot(0, this, [this, url] { finish(url, false); });
}

void SoundService::finish(const QString &url, bool played)
{
    memorytrim::workEnded();
    const bool wasFull = isFull();
    --waiting;
    emit ended(url, played);
    if (wasFull && !isFull())
        emit roomAvailable();
}
