#include "services/sound/soundservice.h"

#include "services/sound/playerslot.h"
#include "services/sound/soundio.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMediaDevices>
#include <QUrl>

#include <utility>

namespace {

// Time a player is given to start, and to end beyond the length of the sound; a player that
// misses it is abandoned.
constexpr int playbackDeadlineMs = 30 * 1000;

// Players that missed their deadline and whose threads have not ended yet. Each
// holds a thread and a media pipeline; past this many, no new player is made.
constexpr int maxAbandonedPlayers = 4;

} // namespace

SoundService *SoundService::instance()
{
    static QPointer<SoundService> service;
    if (!service)
        service = new SoundService(QCoreApplication::instance());
    return service;
}

SoundService::SoundService(QObject *parent) : QObject(parent)
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

SoundService::~SoundService()
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

void SoundService::startFetches()
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

void SoundService::startPlays()
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

void SoundService::failQueuedPlays()
{
    for (SoundThread *sound : std::exchange(playQueue, {}))
        if (sound) {
            soundio::writeLog(QStringLiteral("Error: Sound output is not responding"));
            sound->endPlayback(false);
        }
}

PlayerSlot *SoundService::idlePlayer()
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
                slot->deadline->start(int(qBound(qint64(0), durationMs, qint64(24 * 3600 * 1000))) +
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

void SoundService::begin(PlayerSlot *slot, SoundThread *sound)
{
    slot->busy = true;
    slot->sound = sound;
    sound->stage = SoundThread::Stage::Playing;
    slot->deadline->start(playbackDeadlineMs);
    const QUrl file = QUrl::fromLocalFile(sound->path);
    PlayerWorker *worker = slot->worker;
    QMetaObject::invokeMethod(worker, [worker, file] { worker->play(file); });
}

void SoundService::end(PlayerSlot *slot, bool ok)
{
    if (!slot->busy)
        return;
    slot->busy = false;
    slot->deadline->stop();
    if (SoundThread *sound = std::exchange(slot->sound, nullptr))
        sound->endPlayback(ok);
    startPlays();
}

void SoundService::abandon(PlayerSlot *slot)
{
    soundio::writeLog(u"Error: The sound did not play to its end within " +
                      soundio::seconds(playbackDeadlineMs) +
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
