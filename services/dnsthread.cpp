#include "services/dnsthread.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QQueue>

namespace {

// The resolver needs little stack; a small one keeps many waiting look-ups cheap.
constexpr uint workerStackSize = 512 * 1024;
constexpr int runningLimit = 32;

// Workers waiting for a slot, and how many have been started and not yet ended.
// Touched on the GUI thread only.
struct Scheduler
{
    QQueue<DnsThread *> waiting;
    int running = 0;
};

Scheduler &scheduler()
{
    static Scheduler instance;
    return instance;
}

void startWaiting();

void onWorkerFinished(DnsThread *worker)
{
    // finished is emitted just before the thread ends; waiting for it to end
    // keeps the number of live threads within the limit. It is a matter of
    // microseconds: the worker does nothing after that signal.
    worker->wait();
    worker->deleteLater();
    --scheduler().running;
    startWaiting();
}

void startWaiting()
{
    Scheduler &s = scheduler();
    while (s.running < runningLimit && !s.waiting.isEmpty()) {
        DnsThread *worker = s.waiting.dequeue();
        ++s.running;
        worker->start(QThread::InheritPriority);
    }
}

} // namespace

void DnsThread::schedule(DnsThread *worker)
{
    Q_ASSERT(worker);
    Q_ASSERT(worker->thread() == QThread::currentThread());
    worker->setStackSize(workerStackSize);
    // The worker belongs to this thread, so the call is queued here.
    connect(worker, &QThread::finished, worker, [worker] { onWorkerFinished(worker); });
    scheduler().waiting.enqueue(worker);
    startWaiting();
}

int DnsThread::maxRunning()
{
    return runningLimit;
}

void DnsThread::run()
{
    const quint32 ipv4 = platform::ipv4FromText(address.toLatin1());
    emit querydns(address, platform::reverseLookup(ipv4));
}
