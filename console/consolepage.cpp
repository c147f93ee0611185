#include "console/consolepage.h"

#include "console/consoleurl.h"

#include <QDebug>

namespace {
// How long a noted link activation or user input may precede the navigation
// request that it caused.
constexpr qint64 activationWindowMs = 2000;
constexpr qint64 userInputWindowMs = 1000;

QUrl withoutFragment(const QUrl &url)
{
    return url.adjusted(QUrl::RemoveFragment | QUrl::NormalizePathSegments);
}
} // namespace

ConsolePage::ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent)
    : QWebEnginePage(profile, parent), consoleOrigin(consoleOrigin)
{
}

void ConsolePage::noteLinkActivation(const QUrl &url)
{
    activatedLink = url;
    activatedLinkTimer.start();
}

void ConsolePage::noteUserInput()
{
    userInputTimer.start();
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

bool ConsolePage::isLinkActivation(const QUrl &url, bool isMainFrame)
{
    if (activatedLinkTimer.isValid() && activatedLinkTimer.elapsed() < activationWindowMs &&
        withoutFragment(activatedLink) == withoutFragment(url)) {
        activatedLinkTimer.invalidate();
        return true;
    }
    // In the console's own main frame the bridge script reports every link the
    // user activates, so anything else typed as a link is the page's script
    // navigating (location.href = ...), which stays in the view.
    if (isMainFrame && consoleurl::originOf(this->url()) == consoleOrigin)
        return false;
    // Elsewhere (other pages, frames) a link navigation that follows the user's
    // input is taken as the user's click.
    return userInputTimer.isValid() && userInputTimer.elapsed() < userInputWindowMs;
}

bool ConsolePage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (type == NavigationTypeLinkClicked && isLinkActivation(url, isMainFrame)) {
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
