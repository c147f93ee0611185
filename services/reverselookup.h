// Reverse look-ups of IPv4 addresses on threads of the service's own, answered on the GUI
// thread. Identical pending look-ups share one resolution; how many wait is bounded.
//
// Not QHostInfo: it resolves on Qt's global thread pool, which it shares with the rest of the
// program, with no bound of its own and no way to share one resolution between callers, and
// its answer for an address without a name is the address itself, where the page wants none.
#pragma once

#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>

#include <memory>

class QThreadPool;

class ReverseLookupService : public QObject
{
    Q_OBJECT
public:
    // Cheap: no thread starts before the first look-up.
    explicit ReverseLookupService(QObject *parent = nullptr);
    ~ReverseLookupService() override;

    // Looks up the address text as the page sent it ("127.1", "abc" and "" included: text that
    // is no address is looked up as INADDR_NONE). Every call gets exactly one found(). GUI
    // thread only.
    void lookUp(const QString &address);

    // Whether as many look-ups are pending as the service may hold; the caller should then wait
    // for roomAvailable() before sending more. lookUp() still takes them: nothing is dropped.
    bool isFull() const;

    static int maxRunning();

signals:
    // address: the text given to lookUp(); hostName: null when there is none. Answers come on
    // the GUI thread, for a bounded time per pass of the event loop, so that a flood of them
    // never keeps the window from answering.
    void found(const QString &address, const QString &hostName);
    void roomAvailable();

private:
    struct Shared;
    // The texts looked up as one address, with how many calls gave each.
    using Callers = QHash<QString, qsizetype>;

    void startWaiting();
    void deliver();

    std::shared_ptr<Shared> shared;
    QThreadPool *threads;
    QHash<quint32, Callers> pending; // waiting, resolving or resolved, by address
    QQueue<quint32> waiting;         // not started yet, in call order
    int running = 0;                 // started, their answers not taken for delivery yet
    qsizetype unanswered = 0;        // calls that have had no found() yet
    bool wasFull = false;
    // The answer being delivered: the callers not told yet, and the host name.
    Callers delivering;
    QString deliveringName;
};
