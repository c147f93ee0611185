// One reverse look-up of an IPv4 address on a worker thread.
#pragma once

#include <QObject>
#include <QString>

class MainWindow;

class DnsThread : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts the look-up now, or as soon as fewer than maxRunning() are running;
    // look-ups start in the order they were scheduled. Takes ownership: the
    // object deletes itself once it has emitted querydns. GUI thread only.
    static void schedule(DnsThread *worker);
    static int maxRunning();

    // Whether the look-up has started and its answer has not been delivered yet.
    bool isRunning() const { return running; }

    MainWindow *mainWindow = nullptr;
    QString address;

signals:
    // address: the command's text unchanged; hostName: null when there is none.
    // Answers are delivered on the GUI thread, a bounded number per pass of the
    // event loop, so that a flood of them never keeps the window from answering.
    void querydns(QString address, QString hostName);

private:
    friend struct DnsScheduler;
    bool running = false;
};
