#include "notify/notifywindow.h"

#include "console/rendererguard.h"
#include "console/webviewsurface.h"
#include "notify/ui_notifywindow.h"

#include <QDebug>
#include <QEvent>
#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QScreen>
#include <QWebEngineProfile>

NotifyWindow::NotifyWindow(QWidget *parent) : QDialog(parent, Qt::WindowFlags())
{
    ui = new Ui_NotifyWindow;
    ui->setupUi(this);

    Qt::WindowFlags flags = windowFlags();
    flags &= ~Qt::WindowContextHelpButtonHint;
    flags |= Qt::Tool | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);

    ui->webView->installEventFilter(this);
    installEventFilter(this);
    prepareForWebView(this);
}

NotifyWindow::~NotifyWindow()
{
    // The page must go before its profile.
    removeEventFilter(this);
    delete ui->webView;
    delete ui;
}

QWebEnginePage *NotifyWindow::ensurePage(bool loadBlank)
{
    if (profile && !rendererEnded)
        return ui->webView->page();
    // Page-supplied HTML lives in its own off-the-record profile, which has no
    // script bridge and shares nothing with the console.
    if (!profile)
        profile = new QWebEngineProfile(this);
    // A page whose renderer has ended is replaced, with the last content set.
    QPointer<QWebEnginePage> ended = rendererEnded ? ui->webView->page() : nullptr;
    rendererEnded = false;
    auto *page = new QWebEnginePage(profile, ui->webView);
    connect(
        page, &QWebEnginePage::renderProcessTerminated, this,
        [this, page](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
            const QString cause = RendererGuard::causeOf(status);
            if (cause.isEmpty() || page != ui->webView->page())
                return;
            qDebug().noquote()
                << QStringLiteral("Pop-up renderer ended (%1, code %2)").arg(cause).arg(exitCode);
            rendererEnded = true;
        },
        Qt::QueuedConnection); // never while the pop-up is being destroyed
    ui->webView->setPage(page);
    if (ended)
        ended->deleteLater();
    if (hasContent)
        page->setHtml(lastHtml, lastBaseUrl);
    else if (loadBlank)
        page->setUrl(QUrl(QStringLiteral("about:blank")));
    return page;
}

QWebEnginePage *NotifyWindow::page()
{
    return ensurePage(true);
}

void NotifyWindow::setContent(const QString &html, const QUrl &baseUrl)
{
    const bool live = profile && !rendererEnded;
    lastHtml = html;
    lastBaseUrl = baseUrl;
    hasContent = true;
    QWebEnginePage *page = ensurePage(false);
    if (live)
        page->setHtml(html, baseUrl);
}

QPoint NotifyWindow::notifyPosition(const QRect &availableArea)
{
    return QPoint(availableArea.left() + availableArea.width() - 352,
                  availableArea.top() + availableArea.height() - 152);
}

void NotifyWindow::showNotify()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (screen)
        move(notifyPosition(screen->availableGeometry()));
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    ensurePage(true);
    setVisible(true);
}

bool NotifyWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this) {
        switch (event->type()) {
        case QEvent::Resize:
            ui->webView->setGeometry(rect());
            break;
        case QEvent::PlatformSurface:
            if (static_cast<QPlatformSurfaceEvent *>(event)->surfaceEventType() ==
                QPlatformSurfaceEvent::SurfaceCreated) {
                // The native window now exists: give it its fixed size. Staying
                // on top comes from the window flags.
                resize(320, 120);
                qDebug().noquote() << "QEvent::Create";
            }
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}
