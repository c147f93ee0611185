#include "services/sound/playerslot.h"

#include "services/sound/playerworker.h"
#include "services/sound/soundio.h"

#include <QDir>
#include <QFileInfo>

#include <utility>

namespace {

// Time a player is given to start, and to end beyond the length of the sound; a player that
// misses it is abandoned.
constexpr int playbackDeadlineMs = 30 * 1000;

} // namespace

PlayerSlot::PlayerSlot(QObject *parent) : QObject(parent)
{
    auto *worker = new PlayerWorker;
    worker->moveToThread(&thread);
    // Deleted on its thread as that ends; a thread that never ends keeps it.
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &PlayerSlot::playRequested, worker, &PlayerWorker::play);
    connect(worker, &PlayerWorker::opened, this, &PlayerSlot::onOpened);
    connect(worker, &PlayerWorker::lengthKnown, this, &PlayerSlot::onLength);
    connect(worker, &PlayerWorker::ended, this, &PlayerSlot::onEnded);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &PlayerSlot::abandon);
    thread.start();
}

void PlayerSlot::play(const SoundJob &next)
{
    job = next;
    busy = true;
    opened = false;
    deadline.start(playbackDeadlineMs);
    emit playRequested(job.path);
}

void PlayerSlot::onOpened()
{
    if (!busy)
        return;
    opened = true;
    soundio::writeLog(u"Play file " +
                      QDir::toNativeSeparators(QFileInfo(job.path).absoluteFilePath()));
}

void PlayerSlot::onLength(qint64 durationMs)
{
    if (busy)
        deadline.start(int(qBound(qint64(0), durationMs, qint64(24 * 3600 * 1000))) +
                       playbackDeadlineMs);
}

void PlayerSlot::onEnded(bool ok)
{
    if (!std::exchange(busy, false))
        return; // abandoned meanwhile
    deadline.stop();
    if (!opened) // what stands at the name is not a file this user wrote
        soundio::writeLog(QStringLiteral("Unable to save the file"));
    emit ended(std::exchange(job, {}).url, ok);
}

void PlayerSlot::abandon()
{
    soundio::writeLog(u"Error: The sound did not play to its end within " +
                      soundio::seconds(playbackDeadlineMs) +
                      u" of its length; its player was abandoned");
    busy = false;
    connect(&thread, &QThread::finished, this, [this] {
        thread.wait(); // finished() comes just before the thread's very end
        emit released();
        deleteLater();
    });
    thread.quit();
    emit abandoned();
    emit ended(std::exchange(job, {}).url, false);
}
