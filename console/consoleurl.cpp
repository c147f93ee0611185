#include "console/consoleurl.h"

#include <QtGlobal>

namespace consoleurl {

QString consoleUrl()
{
    const QString fromEnvironment = qEnvironmentVariable("BRINDLETON_CONSOLE_URL");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStringLiteral(BRINDLETON_DEFAULT_CONSOLE_URL);
}

QString originOf(const QUrl &url)
{
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return QString();
    QUrl origin;
    origin.setScheme(url.scheme().toLower());
    origin.setHost(url.host().toLower());
    const int defaultPort =
        origin.scheme() == u"https" ? 443 : (origin.scheme() == u"http" ? 80 : -1);
    if (url.port() != -1 && url.port() != defaultPort)
        origin.setPort(url.port());
    return origin.toString(QUrl::FullyEncoded);
}

} // namespace consoleurl
