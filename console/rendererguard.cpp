#include "console/rendererguard.h"

#include "console/consoleurl.h"
#include "notify/webview.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <csignal>

RendererGuard::RendererGuard(QWebEngineView *view, const QString &consoleOrigin, QObject *parent)
    : QObject(parent), view(view), page(view->page()), consoleOrigin(consoleOrigin)
{
    clock.start();

    // Drawn by the widgets themselves, not by the renderer that has failed.
    overlay = new QWidget(view);
    overlay->setObjectName(QStringLiteral("rendererStopped"));
    overlay->setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(overlay);
    layout->addStretch();
    layout->addWidget(new QLabel(QStringLiteral("The console stopped responding."), overlay), 0,
                      Qt::AlignHCenter);
    auto *button = new QPushButton(QStringLiteral("Reload"), overlay);
    layout->addWidget(button, 0, Qt::AlignHCenter);
    layout->addStretch();
    overlay->hide();
    connect(button, &QPushButton::clicked, this, &RendererGuard::reload);
    view->installEventFilter(this);

    // Queued, so that an end reported while the window and its page are being
    // destroyed never arrives: the guard goes with the window.
    connect(page, &QWebEnginePage::renderProcessTerminated, this, &RendererGuard::ended,
            Qt::QueuedConnection);

    // A cheap probe in a world of its own, every quarter of the threshold: a script
    // that never yields leaves it unanswered.
    prober = new QTimer(this);
    prober->setSingleShot(true);
    connect(prober, &QTimer::timeout, this, &RendererGuard::probe);
    prober->start(hangThreshold / 4);
}

bool RendererGuard::mayProbe() const
{
    // A page that loads, or that waits for the user to answer its alert or confirm
    // (shown modally), blocks its script too without being hung.
    return !stopped && view->isVisible() && !page->isLoading() &&
           !QApplication::activeModalWidget() && consoleurl::originOf(page->url()) == consoleOrigin;
}

void RendererGuard::probe()
{
    prober->start(hangThreshold / 4);
    if (!page || !view || !mayProbe()) {
        probeSent = -1;
        return;
    }
    if (probeSent < 0) {
        probeSent = clock.elapsed();
        const quint64 sent = ++probes;
        page->runJavaScript(QStringLiteral("0"), QWebEngineScript::ApplicationWorld,
                            [guard = QPointer<RendererGuard>(this), sent](const QVariant &) {
                                if (guard && guard->probes == sent)
                                    guard->probeSent = -1;
                            });
        return;
    }
    if (clock.elapsed() - probeSent < hangThreshold)
        return;
    const QString line =
        QStringLiteral("Console page not answering for %1 s; stopped until the user reloads");
    qDebug().noquote() << line.arg(hangThreshold / 1000.0);
    // Neither Stop nor a new load reaches a renderer that never yields (the engine
    // commits the load to the same busy process); ending it frees its core, and
    // Reload then starts a fresh one. The message comes with the end, so that
    // Reload never reaches the old process.
    stopped = true;
    const qint64 pid = page->renderProcessPid();
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), SIGKILL) != 0)
        stop();
}

void RendererGuard::ended(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode)
{
    if (!page || !view)
        return;
    if (stopped) { // the hung renderer, ended by probe()
        stop();
        return;
    }
    const QString cause = rendererEndCause(status);
    if (cause.isEmpty())
        return;
    const qint64 now = clock.elapsed();
    recentEnds.append(now);
    while (now - recentEnds.constFirst() >= windowMs)
        recentEnds.removeFirst();

    const QString what =
        QStringLiteral("Console renderer ended (%1, code %2); ").arg(cause).arg(exitCode);
    if (recentEnds.size() >= maxEnds) {
        qDebug().noquote()
            << what + QStringLiteral("stopped after %1 ends within a minute").arg(maxEnds);
        stop();
        return;
    }
    qDebug().noquote() << what + QStringLiteral("reloading");
    loadConsole();
}

void RendererGuard::reload()
{
    if (!page)
        return;
    recentEnds.clear();
    stopped = false;
    probeSent = -1;
    overlay->hide();
    loadConsole();
}

void RendererGuard::stop()
{
    stopped = true;
    overlay->setGeometry(view->rect());
    overlay->raise();
    overlay->show();
}

void RendererGuard::loadConsole()
{
    // A console page is loaded again where it was; anything else (an error
    // page, a foreign site) gives way to the console's start address.
    const QUrl here = page->url();
    const QUrl console =
        consoleurl::originOf(here) == consoleOrigin ? here : QUrl(consoleurl::consoleUrl());
    page->load(console);
}

bool RendererGuard::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by address only: the filter also sees the view's last events
    // while it is being destroyed.
    if (event->type() == QEvent::Resize && watched == overlay->parent())
        overlay->setGeometry(static_cast<QWidget *>(watched)->rect());
    return QObject::eventFilter(watched, event);
}
