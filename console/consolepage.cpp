#include "console/consolepage.h"

#include "console/consoleurl.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDebug>
#include <QKeyEvent>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineUrlRequestInterceptor>
#include <QWidget>
#include <QtGlobal>
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QWebEnginePermission>
#endif

namespace {

const QString refusedLine =
    QStringLiteral("Refused navigation of the console by a frame of another origin:");

// The console page's requests for a new main-frame document, as the network sees them: one that
// a frame of another origin starts is refused. The engine names the origin that started a
// navigation; a frame of an opaque origin (sandboxed, data:) is named by no origin at all, like
// the program's own loads, which are told apart by their kind.
class TopNavigationGuard : public QWebEngineUrlRequestInterceptor
{
public:
    TopNavigationGuard(QWebEnginePage *page, const QString &consoleOrigin)
        : QWebEngineUrlRequestInterceptor(page), page(page), consoleOrigin(consoleOrigin)
    {
    }

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        if (info.resourceType() != QWebEngineUrlRequestInfo::ResourceTypeMainFrame ||
            consoleurl::originOf(page->url()) != consoleOrigin ||
            consoleurl::originOf(info.initiator()) == consoleOrigin)
            return;
        if (info.initiator().isEmpty()) {
            switch (info.navigationType()) {
            case QWebEngineUrlRequestInfo::NavigationTypeTyped:
            case QWebEngineUrlRequestInfo::NavigationTypeReload:
            case QWebEngineUrlRequestInfo::NavigationTypeBackForward: // ConsolePage decides
            case QWebEngineUrlRequestInfo::NavigationTypeRedirect:
                return;
            default:
                break;
            }
        }
        qDebug().noquote() << refusedLine << info.requestUrl().toString();
        info.block(true);
    }

private:
    QWebEnginePage *page;
    QString consoleOrigin;
};

} // namespace

ConsolePage::ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent)
    : QWebEnginePage(profile, parent), consoleOrigin(consoleOrigin)
{
    setUrlRequestInterceptor(new TopNavigationGuard(this, consoleOrigin));
    // The engine asks nothing before it replaces a document with about:blank; the console that
    // a frame blanked so is loaded again where it was.
    connect(this, &QWebEnginePage::urlChanged, this, [this](const QUrl &url) {
        if (url.scheme() == u"about" && !lastConsoleUrl.isEmpty()) {
            qDebug().noquote() << refusedLine << url.toString();
            load(std::exchange(lastConsoleUrl, QUrl()));
        } else {
            lastConsoleUrl = isConsole(url) ? url : QUrl();
        }
    });
    connect(this, &QWebEnginePage::newWindowRequested, this, &ConsolePage::newWindow);
    connect(this, &QWebEnginePage::authenticationRequired, this,
            [this](const QUrl &url, QAuthenticator *authenticator) {
                askToSignIn(url, authenticator, QString());
            });
    connect(this, &QWebEnginePage::proxyAuthenticationRequired, this, &ConsolePage::askToSignIn);
    // Full screen for the console's own document (a video, a wallboard view), for no other.
    connect(this, &QWebEnginePage::fullScreenRequested, this,
            [this](QWebEngineFullScreenRequest request) {
                if (!isConsole(request.origin())) {
                    qDebug().noquote() << "Refused full screen to" << request.origin().toString();
                    request.reject();
                    return;
                }
                request.accept();
                emit fullScreenWanted(request.toggleOn());
            });
    refusePermissions();
    // An announcement that no activation followed (the page's script cancelled
    // the click) does not outlive its document.
    connect(this, &QWebEnginePage::loadStarted, this, [this] { announcedLink.clear(); });
}

void ConsolePage::noteLinkActivation(const QUrl &url)
{
    announcedLink = url;
}

void ConsolePage::noteUserClick(const QUrl &url)
{
    clickedLink = url;
}

bool ConsolePage::take(QUrl &held, const QUrl &url)
{
    if (held.isEmpty() || held != url)
        return false;
    held.clear();
    return true;
}

bool ConsolePage::isShownInView(const QUrl &url)
{
    static const QStringList schemes = {QStringLiteral("http"),  QStringLiteral("https"),
                                        QStringLiteral("about"), QStringLiteral("data"),
                                        QStringLiteral("blob"),  QStringLiteral("file"),
                                        QStringLiteral("qrc")};
    return schemes.contains(url.scheme().toLower());
}

void ConsolePage::newWindow(QWebEngineNewWindowRequest &request)
{
    // Every link activation arrives here (links.js makes it so), and window.open
    // too where the console's own does not reach. The console's own links are
    // announced by its script; any other request goes on only when it is for the
    // link that the user's own click or Enter was on, once. What a frame's script
    // opens or clicks by itself, even while the user clicks, is refused.
    const QUrl url = request.requestedUrl();
    if (take(announcedLink, url) ||
        (request.isUserInitiated() && lastInputOpens && take(clickedLink, url)))
        emit linkClicked(url);
    else
        qDebug().noquote() << "Refused link from a frame of another origin:" << url.toString();
}

void ConsolePage::watchInput(QWidget *view)
{
    inputView = view;
    // The view's input goes to its focus proxy, a child that the engine replaces at times: the
    // application's events are watched, and those sent to the view's proxy of the moment taken.
    QCoreApplication::instance()->installEventFilter(this);
}

bool ConsolePage::eventFilter(QObject *watched, QEvent *event)
{
    // Only compared: an object that the application's filter sees may be half destroyed.
    const QEvent::Type type = event->type();
    if ((type == QEvent::MouseButtonPress || type == QEvent::KeyPress) && inputView &&
        watched == inputView->focusProxy()) {
        const int key = type == QEvent::KeyPress ? static_cast<QKeyEvent *>(event)->key() : 0;
        const bool click = type == QEvent::MouseButtonPress &&
                           static_cast<QMouseEvent *>(event)->button() != Qt::RightButton;
        lastInputOpens = click || key == Qt::Key_Return || key == Qt::Key_Enter;
        sinceInput.start();
        clickedLink.clear();
    }
    return QWebEnginePage::eventFilter(watched, event);
}

bool ConsolePage::mayDownload(const QUrl &url)
{
    const QUrl owner = url.scheme() == u"blob" ? QUrl(url.path()) : url;
    if (isConsole(owner))
        return true;
    // As the engine's own activation of a user's input, which lasts 5 seconds.
    const bool activated = lastInputOpens && sinceInput.isValid() && sinceInput.elapsed() < 5000;
    lastInputOpens = false;
    return activated;
}

void ConsolePage::askToSignIn(const QUrl &requestUrl, QAuthenticator *authenticator,
                              const QString &proxyHost)
{
    // Only the console's own requests may ask for the operator's password: a frame, image or
    // script of another origin that asked could take it.
    if (!isConsole(requestUrl) || !isConsole(url())) {
        qDebug().noquote() << "Refused a sign-in prompt for"
                           << requestUrl.toString(QUrl::RemoveQuery);
        *authenticator = QAuthenticator();
        return;
    }
    emit signInRequested(requestUrl, proxyHost, authenticator);
}

void ConsolePage::refusePermissions()
{
    // Notifications, camera and microphone, location, pointer lock and screen capture are
    // refused to every origin: the console has pop-ups of its own, and nothing else asks.
    // Qt 6.8 hands each request over as a QWebEnginePermission and deprecates the Feature form
    // that Qt 6.4 has alone.
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    connect(this, &QWebEnginePage::permissionRequested, this,
            [](QWebEnginePermission request) {
                qDebug().noquote()
                    << "Refused permission"
                    << QMetaEnum::fromType<QWebEnginePermission::PermissionType>().valueToKey(
                           int(request.permissionType()))
                    << "to" << request.origin().toString();
                request.deny();
            });
#else
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl &origin, Feature feature) {
                qDebug().noquote()
                    << "Refused permission" << QMetaEnum::fromType<Feature>().valueToKey(feature)
                    << "to" << origin.toString();
                setFeaturePermission(origin, feature, PermissionDeniedByUser);
            });
#endif
}

bool ConsolePage::isConsole(const QUrl &url) const
{
    return consoleurl::originOf(url) == consoleOrigin;
}

bool ConsolePage::mayReplaceConsole(const QUrl &url, NavigationType type) const
{
    // The program's own loads; a history step only to the console itself (the window has no
    // way back, and a frame may take one); the console's own blob: documents; the schemes whose
    // requests the guard sees. Never about: or data:, which no request announces.
    const QString scheme = url.scheme().toLower();
    if (type == NavigationTypeTyped || type == NavigationTypeReload)
        return true;
    if (type == NavigationTypeBackForward)
        return isConsole(url);
    if (scheme == u"blob")
        return isConsole(QUrl(url.path()));
    return scheme != u"about" && scheme != u"data" && isShownInView(url);
}

bool ConsolePage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (isMainFrame && isConsole(this->url()) && !mayReplaceConsole(url, type)) {
        qDebug().noquote() << refusedLine << url.toString();
        return false;
    }
    // A link of the console that still navigates (its script set the target
    // again while the click was under way) goes to the browser all the same;
    // any other navigation typed as a link is a script's own and stays.
    if (type == NavigationTypeLinkClicked && take(announcedLink, url)) {
        emit linkClicked(url);
        return false;
    }
    // The engine would hand schemes it cannot show itself to the desktop,
    // passing by the window's rules for what may leave the program.
    if (!isShownInView(url)) {
        qDebug().noquote() << "Refused navigation to" << QString::fromUtf8(url.toEncoded());
        return false;
    }
    return true;
}
