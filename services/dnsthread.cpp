#include "services/dnsthread.h"

#include "platform/platform.h"
#include "services/memorytrim.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QPointer>
#include <QQueue>
#include <QThreadPool>

#include <utility>

namespace {

// The resolver needs little stack; a small one keeps many waiting look-ups cheap.
constexpr uint workerStackSize = 512 * 1024;
constexpr int runningLimit = 32;
// Threads that have had nothing to do for this long end; a burst of look-ups
// reuses them instead of starting a thread for each.
constexpr int idleThreadMs = 1000;
// How long answers are delivered before the window's other work has its turn.
constexpr qint64 deliverySliceMs = 2;

struct Job
{
    QPointer<DnsThread> worker;
    QString address;
};

struct Answer
{
    QPointer<DnsThread> worker;
    QString hostName;
};

} // namespace

// Look-ups waiting for a thread, how many run, and the answers not yet delivered.
struct DnsScheduler
{
    QQueue<DnsThread *> waiting; // GUI thread only
    int running = 0;             // GUI thread only
    QThreadPool *threads = nullptr;
    QObject *guiThread = nullptr; // receives the deliveries

    // Guarded by mutex: the look-ups started and not yet taken by a thread, the
    // threads that take them (started and not ended), how many of those are
    // resolving, and the answers not yet delivered.
    QMutex mutex;
    QQueue<Job> ready;
    int threadsTaking = 0;
    int resolving = 0;
    QQueue<Answer> answers;

    static DnsScheduler &instance()
    {
        // Never destroyed: a look-up still waiting for the resolver at exit does
        // not hold the process up.
        static DnsScheduler *scheduler = new DnsScheduler;
        return *scheduler;
    }

    DnsScheduler()
    {
        threads = new QThreadPool;
        threads->setMaxThreadCount(runningLimit);
        threads->setStackSize(workerStackSize);
        threads->setExpiryTimeout(idleThreadMs);
        guiThread = new QObject;
    }

    void startWaiting()
    {
        if (running >= runningLimit || waiting.isEmpty())
            return;
        QMutexLocker lock(&mutex);
        while (running < runningLimit && !waiting.isEmpty()) {
            DnsThread *worker = waiting.dequeue();
            ++running;
            worker->running = true;
            ready.enqueue({worker, worker->address});
        }
        // A thread is added only when every thread is busy resolving; the threads
        // add more while look-ups keep waiting. Quick answers thus take a few
        // threads, slow ones up to one per look-up.
        if (threadsTaking == resolving)
            addThread();
    }

    // With mutex locked.
    void addThread()
    {
        if (threadsTaking >= runningLimit)
            return;
        ++threadsTaking;
        threads->start([this] { take(); });
    }

    // On a thread of the pool: resolves look-ups until none is left waiting.
    void take()
    {
        QMutexLocker lock(&mutex);
        while (!ready.isEmpty()) {
            Job job = ready.dequeue();
            ++resolving;
            if (!ready.isEmpty() && threadsTaking == resolving)
                addThread();
            lock.unlock();
            const QString hostName =
                platform::reverseLookup(platform::ipv4FromText(job.address.toLatin1()));
            lock.relock();
            --resolving;
            answers.enqueue({std::move(job.worker), hostName});
            if (answers.size() == 1)
                deliverLater();
        }
        --threadsTaking;
    }

    // Runs deliver() on the GUI thread, after the events already queued there.
    void deliverLater()
    {
        const auto run = [this] {
            deliver();
        };
        QMetaObject::invokeMethod(guiThread, run, Qt::QueuedConnection);
    }

    void deliver()
    {
        QElapsedTimer slice;
        slice.start();
        for (;;) {
            QMutexLocker lock(&mutex);
            if (answers.isEmpty())
                break;
            if (slice.elapsed() >= deliverySliceMs) {
                deliverLater(); // the rest after the window's own events
                break;
            }
            Answer done = answers.dequeue();
            lock.unlock();
            --running;
            if (DnsThread *worker = done.worker) {
                worker->running = false;
                emit worker->querydns(worker->address, done.hostName);
                worker->deleteLater();
            }
        }
        startWaiting();
        memorytrim::workEnded();
    }
};

void DnsThread::schedule(DnsThread *worker)
{
    Q_ASSERT(worker);
    Q_ASSERT(worker->thread() == QThread::currentThread());
    DnsScheduler &scheduler = DnsScheduler::instance();
    scheduler.waiting.enqueue(worker);
    scheduler.startWaiting();
}

int DnsThread::maxRunning()
{
    return runningLimit;
}
