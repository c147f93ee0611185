// The script bridge: webkitExternal.command(text) in the console page.
//
// Two ways lead between the page and the shell, no more:
// - The page to the shell: synchronous requests on the "brindleton" scheme, made only by the
//   bridge's own script (console/bridge/external.js), which is injected into the console's main
//   frame when its document is created. Each request carries a secret that is new for every run
//   and lives only in that script's closure; a request without it is refused, whatever its
//   origin, so images, style sheets, fonts, redirects, frames and the page's own fetches cannot
//   act. Four paths are served: "store", the store's contents for a new document's copy;
//   "commands", the commands of one script task, in pieces of bounded size; "link", a link that
//   the console is about to activate (console/bridge/links.js announces it); and "click", the
//   link of the user's own click in any frame, which console/bridge/clicks.js announces from the
//   isolated world with a secret of its own, whatever the frame's origin. The shell carries
//   the commands out before it answers, so the page's call waits while the shell is busy and a
//   value written before a navigation is there for the next document. While a document unloads,
//   the engine allows no synchronous request; its last commands go as an asynchronous one.
// - The shell to the page: runJavaScript. Store changes made elsewhere go to the page's copy
//   through the isolated world (console/bridge/update.js); look-up results are calls of the
//   page's HandleQueryDns in its main world (console/bridge/lookups.js). Both reach only a
//   document of the console's origin.
//
// The commands go to the console (console/console.h), the one object the bridge talks to; its
// table of commands and their fixed results reaches the page script too. Only the console's origin
// is served: other sites, frames of other origins and the pop-up get neither the object nor an
// answer.
#pragma once

#include <QHash>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWebEngineUrlSchemeHandler>

class QWebEnginePage;
class QWebEngineUrlRequestJob;

Q_DECLARE_LOGGING_CATEGORY(lcBridge)

class Console;

namespace bridge {

// The scheme's name. Registered by registerScheme() before the application
// object exists, as the web engine requires.
QByteArray schemeName();
void registerScheme();

class Bridge;

class SchemeHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    SchemeHandler(Bridge *bridge, const QString &origin, const QByteArray &secret,
                  const QByteArray &clickSecret);

    void requestStarted(QWebEngineUrlRequestJob *job) override;

private:
    // Whether the request comes from the bridge's own script in the console.
    bool isFromBridge(QWebEngineUrlRequestJob *job) const;

    Bridge *bridge;
    QString origin;
    QByteArray secret;
    QByteArray clickSecret;
};

class Bridge : public QObject
{
    Q_OBJECT
public:
    Bridge(QWebEnginePage *page, const QString &origin, Console *console, QObject *parent);

    // Calls a function of the console page with a script text such as
    // "HandleQueryDns('1.2.3.4','host')". Calls made in one pass of the event loop run together;
    // a document of another origin gets none of them.
    void callPage(const QString &call);

    // How many requests the scheme has refused; for tests.
    int refusedRequests() const { return refused; }

signals:
    // A link that the console's document is about to activate (console/bridge/links.js).
    void linkAnnounced(const QUrl &url);
    // The user's own click (or Enter) on a link, in any frame (console/bridge/clicks.js).
    void userClickedLink(const QUrl &url);

private:
    friend class SchemeHandler;

    // Takes one piece of a document's commands, and answers the request once they have been
    // carried out.
    void takeCommands(QWebEngineUrlRequestJob *job, const QString &piece);
    void runCommands();
    void carryOut(const QJsonValue &command);
    void sendStoreUpdate(const QHash<QString, QString> &values, const QStringList &removed);
    void runCalls();

    // The commands of one request, carried out in turn.
    struct Delivery
    {
        QPointer<QWebEngineUrlRequestJob> job;
        QString document;
        double sequence = 0;
        QJsonArray texts;
        qsizetype done = 0;
    };

    QWebEnginePage *page;
    QString origin;
    QString updateEvent;
    Console *console;
    // The document whose commands were carried out last, and the number of its last command.
    QString lastDocument;
    double lastSequence = 0;
    // The first pieces of a document's commands too long for one request.
    QHash<QString, QString> partial;
    QQueue<Delivery> deliveries;
    bool running = false;
    QStringList calls;
    int refused = 0;
    int reloadsForBridge = 0;
};

} // namespace bridge
