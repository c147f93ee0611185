// The script bridge: webkitExternal.command(text) in the console page.
//
// Two ways lead between the page and the shell, no more:
// - The page to the shell: synchronous requests on the "brindleton" scheme, made only by the
//   bridge's own script (console/bridge/external.js), which is injected into the console's main
//   frame when its document is created. Each request carries a secret that is new for every run
//   and lives only in that script's closure; a request without it is refused, whatever its
//   origin, so images, style sheets, fonts, redirects, frames and the page's own fetches cannot
//   act. Three paths are served: "store", the store's contents for a new document's copy;
//   "commands", the commands of one script task, in pieces of bounded size; "link", a link that
//   the console is about to activate (console/bridge/links.js announces it). The shell carries
//   the commands out before it answers, so the page's call waits while the shell is busy and a
//   value written before a navigation is there for the next document. While a document unloads,
//   the engine allows no synchronous request; its last commands go as an asynchronous one.
// - The shell to the page: runJavaScript. Store changes made elsewhere go to the page's copy
//   through the isolated world (console/bridge/update.js); look-up results are calls of the
//   page's HandleQueryDns in its main world (console/bridge/lookups.js). Both reach only a
//   document of the console's origin.
//
// The command names and their fixed results come from one table (console/commandtext.h), which
// the page script receives too. Only the console's origin is served: other sites, frames of
// other origins and the pop-up get neither the object nor an answer.
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

#include <functional>

class QWebEnginePage;
class QWebEngineUrlRequestJob;

Q_DECLARE_LOGGING_CATEGORY(lcBridge)

namespace localstore {
class Store;
}

namespace bridge {

// The scheme's name. Registered by registerScheme() before the application
// object exists, as the web engine requires.
QByteArray schemeName();
void registerScheme();

using CommandFunction = std::function<QString(const QString &)>;
using LinkFunction = std::function<void(const QUrl &)>;

class Bridge;

class SchemeHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    SchemeHandler(Bridge *bridge, const QString &origin, const QByteArray &secret);

    void requestStarted(QWebEngineUrlRequestJob *job) override;

private:
    // Whether the request comes from the bridge's own script in the console.
    bool isFromBridge(QWebEngineUrlRequestJob *job) const;

    Bridge *bridge;
    QString origin;
    QByteArray secret;
};

class Bridge : public QObject
{
    Q_OBJECT
public:
    Bridge(QWebEnginePage *page, const QString &origin, localstore::Store *store,
           CommandFunction command, LinkFunction linkActivated, QObject *parent);

    // Calls a function of the console page with a script text such as
    // "HandleQueryDns('1.2.3.4','host')". Calls made in one pass of the event loop run together;
    // a document of another origin gets none of them.
    void callPage(const QString &call);

    // How many requests the scheme has refused; for tests.
    int refusedRequests() const { return refused; }

private:
    friend class SchemeHandler;

    // Takes one piece of a document's commands, and answers the request once they have been
    // carried out.
    void takeCommands(QWebEngineUrlRequestJob *job, const QString &piece);
    void runCommands();
    void storeChanged(const QHash<QString, QString> &changed, const QStringList &removed);
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
    CommandFunction command;
    LinkFunction linkActivated;
    localstore::Store *store;
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
