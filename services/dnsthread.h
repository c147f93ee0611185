// One reverse look-up of an IPv4 address on a worker thread.
#pragma once

#include <QString>
#include <QThread>

class MainWindow;

class DnsThread : public QThread
{
    Q_OBJECT
public:
    using QThread::QThread;

    // Starts the worker now, or as soon as fewer than maxRunning() look-ups are
    // running; workers start in the order they were scheduled. Takes ownership:
    // a worker deletes itself once it has emitted querydns and its thread has
    // ended. GUI thread only.
    static void schedule(DnsThread *worker);
    static int maxRunning();

    MainWindow *mainWindow = nullptr;
    QString address;

signals:
    // address: the command's text unchanged; hostName: null when there is none.
    void querydns(QString address, QString hostName);

protected:
    void run() override;
};
