#include "services/reverselookup.h"

#include "platform/platform.h"
#include "services/memorytrim.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

namespace {

// The resolver needs little stack; a small one keeps many waiting look-ups cheap.
constexpr uint workerStackSize = 512 * 1024;
constexpr int runningLimit = 32;
// A page that floods look-ups is held back once this many distinct addresses, or this many
// calls in all, wait for their answers.
constexpr qsizetype pendingLimit = 1024;
constexpr qsizetype unansweredLimit = 65536;
// Threads that have had nothing to do for this long end; a burst of look-ups
// reuses them instead of starting a thread for each.
constexpr int idleThreadMs = 1000;
// How long answers are delivered before the window's other work has its turn.
constexpr qint64 deliverySliceMs = 2;

struct Answer
{
    quint32 address;
    QString hostName;
};

} // namespace

// What the service and its threads share. A thread that is still resolving when the service
// is destroyed keeps it, so the service never waits for a resolver.
struct ReverseLookupService::Shared
{
    // Guarded by mutex: the service (null once destroyed), the addresses started and not yet
    // taken by a thread, the threads that take them (started and not ended), how many of those
    // are resolving, the answers not yet delivered, and whether a delivery is on its way.
    QMutex mutex;
    ReverseLookupService *owner = nullptr;
    QThreadPool *threads = nullptr;
    QQueue<quint32> ready;
    int threadsTaking = 0;
    int resolving = 0;
    QQueue<Answer> answers;
    bool deliveryPosted = false;

    // With mutex locked.
    static void addThread(const std::shared_ptr<Shared> &self)
    {
        if (self->threadsTaking >= runningLimit)
            return;
        ++self->threadsTaking;
        self->threads->start([self] { take(self); });
    }

    // With mutex locked: runs the service's deliver() on the GUI thread, after the events
    // already queued there.
    void deliverLater()
    {
        if (deliveryPosted || !owner)
            return;
        deliveryPosted = true;
        QMetaObject::invokeMethod(owner, &ReverseLookupService::deliver, Qt::QueuedConnection);
    }

    // On a thread of the pool: resolves addresses until none is left waiting.
    static void take(const std::shared_ptr<Shared> &self)
    {
        Shared &shared = *self;
        QMutexLocker lock(&shared.mutex);
        while (!shared.ready.isEmpty()) {
            const quint32 address = shared.ready.dequeue();
            ++shared.resolving;
            // A thread is added only when every thread is busy resolving; the threads add
            // more while addresses keep waiting. Quick answers thus take a few threads, slow
            // ones up to one per look-up.
            if (!shared.ready.isEmpty() && shared.threadsTaking == shared.resolving)
                addThread(self);
            lock.unlock();
            QString hostName = platform::reverseLookup(address);
            lock.relock();
            --shared.resolving;
            if (shared.owner) {
                shared.answers.enqueue({address, std::move(hostName)});
                shared.deliverLater();
            }
        }
        // The last thread of a destroyed service hands the pool back to the GUI thread, where
        // deleting it waits for this thread's last instructions only.
        if (--shared.threadsTaking == 0 && !shared.owner)
            shared.threads->deleteLater();
    }
};

ReverseLookupService::ReverseLookupService(QObject *parent)
    : QObject(parent), shared(std::make_shared<Shared>()), threads(new QThreadPool(this))
{
    threads->setMaxThreadCount(runningLimit);
    threads->setStackSize(workerStackSize);
    threads->setExpiryTimeout(idleThreadMs);
    shared->owner = this;
    shared->threads = threads;
}

ReverseLookupService::~ReverseLookupService()
{
    QMutexLocker lock(&shared->mutex);
    shared->owner = nullptr;
    shared->ready.clear();
    shared->answers.clear();
    // getnameinfo can wait many seconds for a DNS server, and deleting the pool would wait for
    // it: a thread still resolving is left the pool, which it hands back once it ends (see
    // take()). Should the process end first, the pool simply goes with it.
    if (shared->threadsTaking > 0)
        threads->setParent(nullptr);
}

void ReverseLookupService::lookUp(const QString &address)
{
    Q_ASSERT(thread() == QThread::currentThread());
    const quint32 key = platform::ipv4FromText(address.toLatin1());
    auto callers = pending.find(key);
    if (callers == pending.end()) {
        callers = pending.insert(key, {});
        waiting.enqueue(key);
    }
    ++(*callers)[address];
    ++unanswered;
    wasFull = wasFull || isFull();
    startWaiting();
}

bool ReverseLookupService::isFull() const
{
    return pending.size() >= pendingLimit || unanswered >= unansweredLimit;
}

int ReverseLookupService::maxRunning()
{
    return runningLimit;
}

void ReverseLookupService::startWaiting()
{
    if (running >= runningLimit || waiting.isEmpty())
        return;
    QMutexLocker lock(&shared->mutex);
    while (running < runningLimit && !waiting.isEmpty()) {
        shared->ready.enqueue(waiting.dequeue());
        ++running;
    }
    if (shared->threadsTaking == shared->resolving)
        Shared::addThread(shared);
}

void ReverseLookupService::deliver()
{
    const QPointer<ReverseLookupService> alive(this); // a receiver of found() may delete it
    QElapsedTimer slice;
    slice.start();
    QMutexLocker lock(&shared->mutex);
    shared->deliveryPosted = false;
    for (;;) {
        if (delivering.isEmpty() && shared->answers.isEmpty())
            break;
        if (slice.elapsed() >= deliverySliceMs) {
            shared->deliverLater(); // the rest after the window's own events
            break;
        }
        if (delivering.isEmpty()) {
            Answer answer = shared->answers.dequeue();
            delivering = pending.take(answer.address);
            deliveringName = std::move(answer.hostName);
            --running;
            continue;
        }
        lock.unlock();
        // Copies: a receiver that runs the event loop may see the next answer delivered.
        const auto caller = delivering.begin();
        const QString address = caller.key(), hostName = deliveringName;
        if (--caller.value() == 0)
            delivering.erase(caller);
        --unanswered;
        emit found(address, hostName);
        if (!alive)
            return;
        lock.relock();
    }
    lock.unlock();
    startWaiting();
    memorytrim::workEnded();
    if (wasFull && !isFull()) {
        wasFull = false;
        emit roomAvailable();
    }
}
