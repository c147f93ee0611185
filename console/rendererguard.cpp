#include "console/rendererguard.h"

#include "console/consoleurl.h"
#include "notify/webview.h"

#include <QDebug>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWebEngineView>

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
}

void RendererGuard::ended(QWebEnginePage::RenderProcessTerminationStatus status, int exitCode)
{
    const QString cause = rendererEndCause(status);
    if (cause.isEmpty() || !page || !view)
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
        overlay->setGeometry(view->rect());
        overlay->raise();
        overlay->show();
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
    overlay->hide();
    loadConsole();
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
