#include "notify/notifywindow.h"

#include "notify/popuppage.h"
#include "notify/ui_notifywindow.h"
#include "notify/webview.h"

#include <QBuffer>
#include <QDebug>
#include <QEvent>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QScreen>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

Q_LOGGING_CATEGORY(lcNotify, "brindleton.notify")

namespace {

// The pop-up's content comes from a scheme of the pop-up's own profile: the
// engine turns setHtml() into a data: address, which it limits to 2 MiB.
const QByteArray contentScheme = QByteArrayLiteral("brindleton-popup");

class ContentHandler : public QWebEngineUrlSchemeHandler
{
public:
    using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;

    QByteArray content;

    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        auto *buffer = new QBuffer(job);
        buffer->setData(content);
        job->reply(QByteArrayLiteral("text/html; charset=utf-8"), buffer);
    }
};

// The content as the pop-up loads it: relative addresses resolve against
// baseUrl, unless the content names a base of its own.
QByteArray withBase(const QString &html, const QUrl &baseUrl)
{
    if (baseUrl.isEmpty() || html.contains(QLatin1String("<base"), Qt::CaseInsensitive))
        return html.toUtf8();
    const QString base =
        u"<base href=\"" + QString::fromUtf8(baseUrl.toEncoded()).toHtmlEscaped() + u"\">";
    // After a doctype, so that the content keeps its rendering mode.
    qsizetype at = 0;
    if (html.trimmed().startsWith(QLatin1String("<!doctype"), Qt::CaseInsensitive))
        at = html.indexOf(u'>') + 1;
    return (html.left(at) + base + html.mid(at)).toUtf8();
}

} // namespace

void NotifyWindow::registerScheme()
{
    QWebEngineUrlScheme scheme(contentScheme);
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    QWebEngineUrlScheme::registerScheme(scheme);
}

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
    if (!profile) {
        profile = new QWebEngineProfile(this);
        content = new ContentHandler(profile);
        profile->installUrlSchemeHandler(contentScheme, content);
    }
    // A page whose renderer has ended is replaced, with the last content set.
    QPointer<QWebEnginePage> ended = rendererEnded ? ui->webView->page() : nullptr;
    rendererEnded = false;
    auto *page = new PopupPage(profile, QString::fromLatin1(contentScheme), ui->webView);
    connect(page, &PopupPage::linkActivated, this, &NotifyWindow::linkActivated);
    connect(
        page, &QWebEnginePage::renderProcessTerminated, this,
        [this, page](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
            const QString cause = rendererEndCause(status);
            if (cause.isEmpty() || page != ui->webView->page())
                return;
            qDebug().noquote()
                << QStringLiteral("Pop-up renderer ended (%1, code %2)").arg(cause).arg(exitCode);
            rendererEnded = true;
            if (isVisible())
                ensurePage(true); // shown again at once, not blank until the next use
        },
        Qt::QueuedConnection); // never while the pop-up is being destroyed
    connect(page, &QWebEnginePage::loadFinished, this, [this, page](bool ok) {
        if (!ok && page == ui->webView->page() &&
            page->url().scheme() == QLatin1String(contentScheme))
            qCWarning(lcNotify) << "Unable to show the pop-up's content";
    });
    ui->webView->setPage(page);
    if (ended)
        ended->deleteLater();
    if (hasContent)
        showContent(page);
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
    hasContent = true;
    QWebEnginePage *page = ensurePage(false);
    static_cast<ContentHandler *>(content)->content = withBase(html, baseUrl);
    if (live)
        showContent(page);
}

void NotifyWindow::showContent(QWebEnginePage *page)
{
    // Always the same address: the pop-up keeps no history of what it showed.
    page->load(QUrl(QString::fromLatin1(contentScheme) + u":content"));
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
