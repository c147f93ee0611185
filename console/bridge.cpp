#include "console/bridge.h"

#include "console/console.h"
#include "console/consoleurl.h"
#include "services/memorytrim.h"
#include "services/scriptcall.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

Q_LOGGING_CATEGORY(lcBridge, "brindleton.bridge")

static void initBridgeResources()
{
    Q_INIT_RESOURCE(bridge);
}

namespace bridge {

namespace {

const QByteArray secretHeader = QByteArrayLiteral("X-Brindleton-Secret");
const QByteArray clickHeader = QByteArrayLiteral("X-Brindleton-Click");

// The most that one request's commands may amount to, in characters; more is refused. The page
// script refuses, command by command, what would take one script task beyond maxTaskChars, which
// leaves room for the request's own framing.
constexpr qsizetype maxCommandChars = 64 * 1024 * 1024;
constexpr qsizetype maxTaskChars = maxCommandChars - 4096;

// How long commands are carried out before the window's other work has its turn.
constexpr qint64 sliceMs = 4;

QString resource(const QString &name)
{
    initBridgeResources();
    QFile file(u":/bridge/" + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("The bridge's script %s is missing", qPrintable(name));
    return QString::fromUtf8(file.readAll());
}

QString literal(const QString &text)
{
    return scriptcall::stringLiteral(text, u'"');
}

QString jsonObject(const QList<QPair<QString, QString>> &members)
{
    QString text = QStringLiteral("{");
    for (const auto &[name, value] : members) {
        if (text.size() > 1)
            text += u',';
        text += literal(name) + u':' + value;
    }
    return text + u'}';
}

// The store's contents as a JSON object; every value arrives exactly, lone surrogates included.
QString storeJson(const QHash<QString, QString> &values, const QStringList &removed = {})
{
    QList<QPair<QString, QString>> members;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        members.append({it.key(), literal(it.value())});
    for (const QString &key : removed)
        members.append({key, QStringLiteral("null")});
    return jsonObject(members);
}

// The fixed results of the commands, as the page script answers them.
QString fixedResults()
{
    QList<QPair<QString, QString>> members;
    for (const auto &[name, result] : Console::commands())
        members.append({name, result.isNull() ? QStringLiteral("null") : literal(result)});
    return jsonObject(members);
}

// Injects a script of the console/bridge folder into the page's main world (or another) when
// each document is created; the script is a function, called with settings and with the
// function that keeps its listeners through a rewritten document (relisten.js).
void insertScript(QWebEnginePage *page, const QString &name, bool subFrames,
                  const QString &settings, quint32 world = QWebEngineScript::MainWorld)
{
    QWebEngineScript script;
    script.setName(name);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(world);
    script.setRunsOnSubFrames(subFrames);
    script.setSourceCode(resource(name) + u'(' + settings + u", " +
                         resource(QStringLiteral("relisten.js")) + u");");
    page->scripts().insert(script);
}

bool hasHeader(QWebEngineUrlRequestJob *job, const QByteArray &name, const QByteArray &value)
{
    const QMap<QByteArray, QByteArray> headers = job->requestHeaders();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value() == value;
    }
    return false;
}

void reply(QWebEngineUrlRequestJob *job, const QByteArray &body = QByteArray())
{
    auto *buffer = new QBuffer(job);
    buffer->setData(body);
    job->reply(QByteArrayLiteral("text/plain; charset=utf-8"), buffer);
}

QString randomToken()
{
    QString token;
    for (int i = 0; i < 4; ++i)
        token +=
            QString::number(QRandomGenerator::system()->generate(), 16).rightJustified(8, u'0');
    return token;
}

} // namespace

QByteArray schemeName()
{
    return QByteArrayLiteral("brindleton");
}

void registerScheme()
{
    QWebEngineUrlScheme scheme(schemeName());
    scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    // Secure, so that an https console may call it; CORS-enabled, so that the
    // console's origin may read the answers; exempt from the console's own
    // content security policy, which knows nothing of the shell.
    scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::CorsEnabled |
                    QWebEngineUrlScheme::ContentSecurityPolicyIgnored);
    QWebEngineUrlScheme::registerScheme(scheme);
}

SchemeHandler::SchemeHandler(Bridge *bridge, const QString &origin, const QByteArray &secret,
                             const QByteArray &clickSecret)
    : QWebEngineUrlSchemeHandler(bridge), bridge(bridge), origin(origin), secret(secret),
      clickSecret(clickSecret)
{
}

bool SchemeHandler::isFromBridge(QWebEngineUrlRequestJob *job) const
{
    return job->requestMethod() == "GET" && !origin.isEmpty() &&
           consoleurl::originOf(job->initiator()) == origin && hasHeader(job, secretHeader, secret);
}

void SchemeHandler::requestStarted(QWebEngineUrlRequestJob *job)
{
    const QUrl url = job->requestUrl();
    const QString path = url.path();
    // The user's click on a link, from any frame, told by clicks.js in the isolated world.
    if (path == u"click" && job->requestMethod() == "GET" &&
        hasHeader(job, clickHeader, clickSecret)) {
        emit bridge->userClickedLink(
            QUrl(QUrl::fromPercentEncoding(url.query(QUrl::FullyEncoded).toLatin1())));
        reply(job);
        return;
    }
    if (!isFromBridge(job)) {
        ++bridge->refused;
        qCWarning(lcBridge).noquote() << "Refused a request to the shell for" << path << "from"
                                      << job->initiator().toString();
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }
    const QString data = QUrl::fromPercentEncoding(url.query(QUrl::FullyEncoded).toLatin1());

    QByteArray body;
    if (path == u"store") {
        body = storeJson(bridge->console->storedValues()).toUtf8();
    } else if (path == u"commands") {
        bridge->takeCommands(job, data);
        return;
    } else if (path == u"link") {
        emit bridge->linkAnnounced(QUrl(data));
    } else {
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        return;
    }
    reply(job, body);
}

Bridge::Bridge(QWebEnginePage *page, const QString &origin, Console *console, QObject *parent)
    : QObject(parent), page(page), origin(origin), console(console)
{
    const QString secret = randomToken(), clickSecret = randomToken();
    updateEvent = u"brindleton-store-" + randomToken();
    page->profile()->installUrlSchemeHandler(
        schemeName(), new SchemeHandler(this, origin, secret.toLatin1(), clickSecret.toLatin1()));

    const QString linkEvent = literal(QStringLiteral("brindleton-link"));
    // The bridge itself only in the console's main frame, and never with the
    // secret in a frame of another origin; the link handling in every frame.
    insertScript(page, QStringLiteral("external.js"), false,
                 jsonObject({{QStringLiteral("origin"), literal(origin)},
                             {QStringLiteral("secret"), literal(secret)},
                             {QStringLiteral("updateEvent"), literal(updateEvent)},
                             {QStringLiteral("linkEvent"), linkEvent},
                             {QStringLiteral("results"), fixedResults()},
                             {QStringLiteral("read"), literal(Console::readCommand())},
                             {QStringLiteral("write"), literal(Console::writeCommand())},
                             {QStringLiteral("maxTaskChars"), QString::number(maxTaskChars)}}));
    insertScript(page, QStringLiteral("links.js"), true,
                 jsonObject({{QStringLiteral("origin"), literal(origin)},
                             {QStringLiteral("linkEvent"), linkEvent}}));
    insertScript(page, QStringLiteral("clicks.js"), true,
                 jsonObject({{QStringLiteral("secret"), literal(clickSecret)}}),
                 QWebEngineScript::ApplicationWorld);

    // The engine does not always hand the page's scripts to a renderer that
    // replaces one that ended: a console document without the bridge has them
    // handed over afresh and is loaded again, a few times at most.
    connect(page, &QWebEnginePage::loadFinished, this, [this](bool ok) {
        if (!ok || consoleurl::originOf(this->page->url()) != this->origin)
            return;
        // The page answers pending calls as it goes, which may be after the bridge has gone.
        this->page->runJavaScript(
            QStringLiteral("typeof webkitExternal"), QWebEngineScript::MainWorld,
            [this, alive = QPointer<Bridge>(this)](const QVariant &type) {
                if (!alive)
                    return;
                if (type.toString() == u"object") {
                    reloadsForBridge = 0;
                } else if (reloadsForBridge < 3) {
                    ++reloadsForBridge;
                    qCWarning(lcBridge) << "The console page came without the bridge; reloading";
                    const QList<QWebEngineScript> scripts = this->page->scripts().toList();
                    this->page->scripts().clear();
                    this->page->scripts().insert(scripts);
                    this->page->triggerAction(QWebEnginePage::Reload);
                }
            });
    });

    connect(console, &Console::storeChanged, this, &Bridge::sendStoreUpdate);
    connect(console, &Console::hostNameFound, this,
            [this](const QString &address, const QString &name) {
                callPage(scriptcall::handleQueryDns(address, name));
            });
    connect(console, &Console::readyForCommands, this, &Bridge::runCommands);
}

void Bridge::takeCommands(QWebEngineUrlRequestJob *job, const QString &piece)
{
    // A piece: "+" (more follows) or "=" (the last), the document's id, ":", and a part of
    // "<number of the last command>:<the commands as a JSON array>".
    const qsizetype colon = piece.indexOf(u':');
    if (piece.isEmpty() || colon < 0) {
        job->fail(QWebEngineUrlRequestJob::RequestFailed);
        return;
    }
    const QString document = piece.mid(1, colon - 1);
    // Pieces of a document that has gone (its renderer ended mid-way) are of no more use.
    for (auto it = partial.begin(); it != partial.end();)
        it = it.key() == document ? std::next(it) : partial.erase(it);
    QString &text = partial[document];
    if (text.size() + piece.size() > maxCommandChars) {
        partial.remove(document);
        qCWarning(lcBridge) << "Refused commands of more than" << maxCommandChars << "characters";
        job->fail(QWebEngineUrlRequestJob::RequestFailed);
        return;
    }
    text += QStringView(piece).mid(colon + 1);
    if (piece.front() != u'=') {
        reply(job);
        return;
    }
    const QString whole = partial.take(document);
    const qsizetype split = whole.indexOf(u':');
    QJsonParseError error;
    const QJsonDocument texts = QJsonDocument::fromJson(whole.mid(split + 1).toUtf8(), &error);
    if (split < 0 || error.error != QJsonParseError::NoError || !texts.isArray()) {
        qCWarning(lcBridge) << "Refused commands that could not be read:" << error.errorString();
        job->fail(QWebEngineUrlRequestJob::RequestFailed);
        return;
    }
    deliveries.enqueue({job, document, whole.left(split).toDouble(), texts.array()});
    runCommands();
}

void Bridge::runCommands()
{
    if (running)
        return;
    running = true;
    // Carried out in slices, so that the window goes on answering meanwhile; the page waits.
    QElapsedTimer slice;
    slice.start();
    while (!deliveries.isEmpty() && console->isReady()) {
        Delivery &delivery = deliveries.head();
        while (delivery.done < delivery.texts.size() && slice.elapsed() < sliceMs &&
               console->isReady())
            carryOut(delivery.texts.at(delivery.done++));
        if (delivery.done < delivery.texts.size())
            break;
        lastDocument = delivery.document;
        lastSequence = delivery.sequence;
        if (delivery.job)
            reply(delivery.job);
        deliveries.dequeue();
    }
    running = false;
    memorytrim::workEnded();
    // The rest after the window's own events, or once the services can take more.
    if (!deliveries.isEmpty() && console->isReady())
        QTimer::singleShot(0, this, &Bridge::runCommands);
}

void Bridge::carryOut(const QJsonValue &command)
{
    if (command.isString()) {
        console->command(command.toString());
        return;
    }
    // A command that the page's script refused for its size; it tells its name and length.
    const QJsonObject refused = command.toObject();
    qCWarning(lcBridge).noquote() << "Refused the command"
                                  << refused.value(u"name").toString().left(200) << "of"
                                  << qint64(refused.value(u"length").toDouble())
                                  << "characters: one script task's commands may hold at most"
                                  << maxTaskChars << "characters";
}

void Bridge::sendStoreUpdate(const QHash<QString, QString> &values, const QStringList &removed)
{
    const QString update =
        jsonObject({{QStringLiteral("document"), literal(lastDocument)},
                    {QStringLiteral("sequence"), QString::number(lastSequence, 'f', 0)},
                    {QStringLiteral("values"), storeJson(values, removed)}});
    static const QString source = resource(QStringLiteral("update.js"));
    page->runJavaScript(source + u'(' + literal(origin) + u',' + literal(updateEvent) + u',' +
                            literal(update) + u");",
                        QWebEngineScript::ApplicationWorld);
}

void Bridge::callPage(const QString &call)
{
    if (calls.isEmpty())
        QTimer::singleShot(0, this, &Bridge::runCalls);
    calls.append(call);
}

void Bridge::runCalls()
{
    static const QString source = resource(QStringLiteral("lookups.js"));
    const qsizetype start = source.lastIndexOf(u'\n', source.indexOf(QLatin1String("%CALL%"))) + 1;
    const qsizetype end = source.indexOf(u'\n', start) + 1;
    const QString line = source.mid(start, end - start);
    // The origin goes in before the calls, which hold text from elsewhere.
    QString script = source.left(start).replace(QLatin1String("'%ORIGIN%'"), literal(origin));
    for (const QString &call : std::as_const(calls))
        script += QString(line).replace(QLatin1String("%CALL%"), call);
    script += source.mid(end);
    calls.clear();
    page->runJavaScript(script, QWebEngineScript::MainWorld);
}

} // namespace bridge
