#include "console/consolepage.h"

#include "console/consoleurl.h"

#include <QDebug>
#include <QWebEngineNewWindowRequest>
#include <QWebEngineUrlRequestInterceptor>

namespace {

// A frame of another origin may not replace the console page: the engine lets a
// frame's script navigate the top document after the user's activation there.
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
            info.initiator().isEmpty() || consoleurl::originOf(page->url()) != consoleOrigin ||
            consoleurl::originOf(info.initiator()) == consoleOrigin)
            return;
        qDebug().noquote() << "Refused navigation of the console by a frame of another origin:"
                           << info.requestUrl().toString();
        info.block(true);
    }

private:
    QWebEnginePage *page;
    QString consoleOrigin;
};

} // namespace

ConsolePage::ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent)
    : QWebEnginePage(profile, parent)
{
    setUrlRequestInterceptor(new TopNavigationGuard(this, consoleOrigin));
    connect(this, &QWebEnginePage::newWindowRequested, this, &ConsolePage::newWindow);
    // An announcement that no activation followed (the page's script cancelled
    // the click) does not outlive its document.
    connect(this, &QWebEnginePage::loadStarted, this, [this] { announcedLink.clear(); });
}

void ConsolePage::noteLinkActivation(const QUrl &url)
{
    announcedLink = url;
}

bool ConsolePage::takeAnnouncedLink(const QUrl &url)
{
    if (announcedLink.isEmpty() || announcedLink != url)
        return false;
    announcedLink.clear();
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

bool ConsolePage::refuse(const QUrl &url)
{
    refusedLoads.append(url);
    if (refusedLoads.size() > 16)
        refusedLoads.removeFirst();
    return false;
}

bool ConsolePage::takeRefusedLoad(const QUrl &url)
{
    return refusedLoads.removeOne(url);
}

void ConsolePage::newWindow(QWebEngineNewWindowRequest &request)
{
    // Every link activation arrives here (links.js makes it so), and nothing
    // else: window.open opens nothing in the console. The console's own links
    // are announced by its script; elsewhere only the user's own activation
    // counts, and the engine lets one activation open one window.
    const QUrl url = request.requestedUrl();
    if (takeAnnouncedLink(url) || request.isUserInitiated())
        emit linkClicked(url);
    else
        qDebug().noquote() << "Refused link from a frame of another origin:" << url.toString();
}

bool ConsolePage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    Q_UNUSED(isMainFrame);
    // A link of the console that still navigates (its script set the target
    // again while the click was under way) goes to the browser all the same;
    // any other navigation typed as a link is a script's own and stays.
    if (type == NavigationTypeLinkClicked && takeAnnouncedLink(url)) {
        emit linkClicked(url);
        return refuse(url);
    }
    // The engine would hand schemes it cannot show itself to the desktop,
    // passing by the window's rules for what may leave the program.
    if (!isShownInView(url)) {
        qDebug().noquote() << "Refused navigation to" << QString::fromUtf8(url.toEncoded());
        return refuse(url);
    }
    return true;
}
