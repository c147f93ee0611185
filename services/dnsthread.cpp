#include "services/dnsthread.h"

#include "platform/platform.h"

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

    QMutex mutex;
    QQueue<Answer> answers; // guarded by mutex

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
        while (running < runningLimit && !waiting.isEmpty()) {
            DnsThread *worker = waiting.dequeue();
            ++running;
            worker->running = true;
            threads->start(
                [this, worker = QPointer<DnsThread>(worker), address = worker->address]() mutable {
                    const quint32 ipv4 = platform::ipv4FromText(address.toLatin1());
                    answer({std::move(worker), platform::reverseLookup(ipv4)});
                });
        }
    }

    // On a worker thread.
    void answer(Answer &&done)
    {
        QMutexLocker lock(&mutex);
        answers.enqueue(std::move(done));
        if (answers.size() == 1)
            QMetaObject::invokeMethod(
                guiThread, [this] { deliver(); }, Qt::QueuedConnection);
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
                // The rest on a later pass, after the window's own events.
                QMetaObject::invokeMethod(
                    guiThread, [this] { deliver(); }, Qt::QueuedConnection);
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
