// Hands addresses to the desktop (the user's browser, mail or phone program) under the rules that
// every way out of the program shares: the page's open command, the console's links and the
// pop-up's.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

class DesktopOpener : public QObject
{
    Q_OBJECT
public:
    explicit DesktopOpener(QObject *parent = nullptr);
    ~DesktopOpener() override;

    // A burst may hand over this many addresses at once; after it, one more per interval.
    static constexpr int burst = 5;
    static constexpr int intervalMs = 1000;

    // Hands the address over unless it is refused: a scheme other than http, https, mailto and
    // tel, or a burst beyond the limit (no page opens hundreds of tabs on purpose). A mailto:
    // address leaves without its file attachments. Each outcome is logged.
    void open(const QUrl &url);

private:
    void started(qint64 process, const QUrl &url);
    void collect();

    // Starts the desktop's opener, so that the caller never waits for a new process: on a busy
    // machine that takes milliseconds.
    QThreadPool starter;
    int allowance = burst;
    QElapsedTimer sinceAllowance; // since the allowance last grew
    QList<qint64> running;
    QTimer collector;
};
