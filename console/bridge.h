// The synchronous script bridge. The console page's script calls
// webkitExternal.command(text); an injected script turns that into a synchronous
// request on the custom scheme, which the handler here answers on the GUI thread
// with the command's result. Only the console's origin is served.
#pragma once

#include <QString>
#include <QUrl>
#include <QWebEngineUrlSchemeHandler>

#include <functional>

class QWebEngineScript;

namespace bridge {

// The scheme's name. Registered by registerScheme() before the application
// object exists, as the web engine requires.
QByteArray schemeName();
void registerScheme();

// The document-creation script that defines webkitExternal in pages of the
// given origin (and nowhere else).
QWebEngineScript script(const QString &origin);

// Reply bodies tell a null result ("0") from a string ("1" + text).
QByteArray encodeResult(const QString &result);

class SchemeHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    using CommandFunction = std::function<QString(const QString &)>;
    using LinkFunction = std::function<void(const QUrl &)>;

    SchemeHandler(const QString &origin, CommandFunction command, LinkFunction linkActivated,
                  QObject *parent);

    void requestStarted(QWebEngineUrlRequestJob *job) override;

private:
    QString origin;
    CommandFunction command;
    LinkFunction linkActivated;
};

} // namespace bridge
