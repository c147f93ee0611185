// Keeps the console alive when its renderer process ends abnormally (the OOM
// killer, an engine fault, a kill by hand): the page is loaded again at once,
// unless the renderer keeps dying, in which case the window says so natively
// and offers a Reload button instead of a grey view. A page that stops
// answering (a script that never yields) gets the same message.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebEnginePage>

class QTimer;
class QWebEngineView;

class RendererGuard : public QObject
{
    Q_OBJECT
public:
    // Reloads stop after maxEnds abnormal ends within windowMs.
    static constexpr int maxEnds = 3;
    static constexpr qint64 windowMs = 60000;
    // The console's page counts as hung once it leaves a probe unanswered this long.
    static constexpr int hangMs = 10000;

    // Replaces hangMs, for all guards from their next probe on (tests use a shorter one).
    static void setHangThreshold(int ms) { hangThreshold = ms; }

    // consoleOrigin decides whether the page's own address is worth loading
    // again; any other page is replaced by the console's start address.
    RendererGuard(QWebEngineView *view, const QString &consoleOrigin, QObject *parent);

    // The message shown over the view once reloads have stopped.
    QWidget *stopMessage() const { return overlay; }

    // Hides the message, forgets earlier ends and loads the console again.
    void reload();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ended(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode);
    void loadConsole();
    void stop();
    void probe();
    bool mayProbe() const;

    QPointer<QWebEngineView> view;
    QPointer<QWebEnginePage> page;
    QString consoleOrigin;
    QWidget *overlay = nullptr;
    QElapsedTimer clock;
    QList<qint64> recentEnds;
    bool stopped = false; // the message is up; only the user's Reload goes on
    QTimer *prober = nullptr;
    quint64 probes = 0;    // probes sent; an answer to an older one counts for nothing
    qint64 probeSent = -1; // when the unanswered probe went out, or -1

    static inline int hangThreshold = hangMs;
};
