#include "notify/popuppage.h"

#include <QDebug>
#include <QWebEngineNewWindowRequest>

PopupPage::PopupPage(QWebEngineProfile *profile, const QString &contentScheme, QObject *parent)
    : QWebEnginePage(profile, parent), contentScheme(contentScheme)
{
    // A link with a target, or window.open: only the user's own activation is handed on.
    connect(this, &QWebEnginePage::newWindowRequested, this,
            [this](QWebEngineNewWindowRequest &request) {
                if (request.isUserInitiated())
                    emit linkActivated(request.requestedUrl());
            });
}

bool PopupPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (type == NavigationTypeLinkClicked) {
        emit linkActivated(url);
        return false;
    }
    const QString scheme = url.scheme();
    const bool own = scheme == contentScheme ||
                     (type == NavigationTypeTyped && url == QUrl(QStringLiteral("about:blank")));
    // Frames inside the content may show what the content puts there, but no scheme that the
    // engine would hand to the desktop.
    if (isMainFrame ? own : (own || scheme == u"http" || scheme == u"https" || scheme == u"data"))
        return true;
    qDebug().noquote() << "Refused navigation of the pop-up to" << url.toString();
    return false;
}
