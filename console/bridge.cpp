#include "console/bridge.h"

#include "console/consoleurl.h"
#include "console/localstore.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

namespace bridge {

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

namespace {

// Defines webkitExternal in the console's main frame before any script of the
// page runs. Everything it uses is captured first, so that the page's own
// script cannot change how the bridge talks to the shell.
const char mainWorldScript[] = R"JS((function () {
'use strict';
if (window.top !== window || location.origin !== %ORIGIN%) return;
if (Object.prototype.hasOwnProperty.call(window, 'webkitExternal')) return;
const XHR = XMLHttpRequest;
const open = XHR.prototype.open, send = XHR.prototype.send,
      override = XHR.prototype.overrideMimeType;
const statusOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'status').get;
const textOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'responseText').get;
const detailOf = Object.getOwnPropertyDescriptor(CustomEvent.prototype, 'detail').get;
const apply = Reflect.apply, encode = encodeURIComponent, toStr = String, parse = JSON.parse,
      stringify = JSON.stringify, later = queueMicrotask, push = Array.prototype.push;
const keysOf = Object.keys, random = Math.random, now = Date.now;
const replace = String.prototype.replace, slice = String.prototype.slice,
      indexOf = String.prototype.indexOf, charAt = String.prototype.charAt;
const dispatch = EventTarget.prototype.dispatchEvent, listen = EventTarget.prototype.addEventListener;
const Signal = CustomEvent, doc = document;
const Table = Map, get = Map.prototype.get, set = Map.prototype.set, has = Map.prototype.has,
      remove = Map.prototype.delete, each = Map.prototype.forEach;
const loneSurrogate = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;

// A synchronous request to the shell; null for a null answer or a refusal.
function request(kind, text) {
  const xhr = new XHR();
  apply(open, xhr, ['GET', 'brindleton:' + kind + '?' +
        encode(apply(replace, text, [loneSurrogate, '\uFFFD'])), false]);
  apply(override, xhr, ['text/plain; charset=utf-8']);
  apply(send, xhr, []);
  if (apply(statusOf, xhr, []) !== 200) return null;
  const body = apply(textOf, xhr, []);
  return apply(charAt, body, [0]) === '1' ? apply(slice, body, [1]) : null;
}

let command;
if (!%CHANNEL%) {
  command = function command(text) { return request('command', toStr(text)); };
} else {
  // The store as the shell had it when this document was created, with this
  // document's own writes on top; the shell sends what changes elsewhere.
  const store = new Table(), pending = new Table();
  const snapshot = request('store', '');
  if (snapshot !== null) {
    const values = parse(snapshot), keys = keysOf(values);
    for (let i = 0; i < keys.length; ++i) apply(set, store, [keys[i], values[keys[i]]]);
  }
  const documentId = apply(slice, toStr(random()), [2]) + toStr(now());
  let sequence = 0, flushing = false, outbox = [];
  // The commands of one task leave together, in order, as soon as it ends.
  function flush() {
    flushing = false;
    const batch = outbox;
    outbox = [];
    apply(dispatch, doc, [new Signal(%SEND%, {
      detail: documentId + ':' + sequence + ':' + stringify(batch) })]);
  }
  apply(listen, doc, [%UPDATE%, function (event) {
    const update = parse(apply(detailOf, event, []));
    const acked = update.document === documentId ? update.sequence : 0;
    apply(each, pending, [function (written, key) {
      if (written <= acked) apply(remove, pending, [key]);
    }]);
    const keys = keysOf(update.values);
    for (let i = 0; i < keys.length; ++i) {
      const key = keys[i], value = update.values[key];
      if (apply(has, pending, [key])) continue; // a newer write of ours is on its way
      if (value === null) apply(remove, store, [key]);
      else apply(set, store, [key, value]);
    }
  }, true]);
  command = function command(text) {
    text = toStr(text);
    const number = ++sequence;
    const colon = apply(indexOf, text, [':']);
    const name = colon < 0 ? text : apply(slice, text, [0, colon]);
    const argument = colon < 0 ? '' : apply(slice, text, [colon + 1]);
    if (name === 'setlocaldata') {
      const split = apply(indexOf, argument, [':']);
      if (split >= 0) {
        const key = apply(slice, argument, [0, split]);
        apply(set, store, [key, apply(slice, argument, [split + 1])]);
        apply(set, pending, [key, number]);
      }
    }
    apply(push, outbox, [text]);
    if (!flushing) {
      flushing = true;
      later(flush);
    }
    if (name === 'getlocaldata')
      return apply(has, store, [argument]) ? apply(get, store, [argument]) : null;
    return name === 'playsound' ? 'OK' : null;
  };
}
const external = Object.freeze({ command: command });
Object.defineProperty(window, 'webkitExternal', {
  value: external, writable: false, enumerable: false, configurable: false
});
window.addEventListener('click', function (event) {
  if (!event.isTrusted || event.button !== 0) return;
  const path = event.composedPath();
  for (let i = 0; i < path.length; ++i) {
    const node = path[i];
    if ((node instanceof HTMLAnchorElement || node instanceof HTMLAreaElement) && node.href) {
      request('link', toStr(node.href));
      return;
    }
  }
}, true);
})();
)JS";

// Runs in the isolated world, where the page's script cannot reach: forwards
// the commands of the console's main frame to the shell, in order.
const char channelScript[] = R"JS((function () {
'use strict';
if (window.top !== window || location.origin !== %ORIGIN%) return;
const transport = qt.webChannelTransport;
let id = 0;
document.addEventListener(%SEND%, function (event) {
  const detail = event.detail;
  if (typeof detail !== 'string') return;
  const first = detail.indexOf(':'), second = detail.indexOf(':', first + 1);
  transport.send(JSON.stringify({ type: 6, object: 'bridge', method: %METHOD%,
    args: [detail.slice(0, first), Number(detail.slice(first + 1, second)),
           JSON.parse(detail.slice(second + 1))], id: ++id }));
}, true);
})();
)JS";

// Hands a store update to the console's main frame, and to nothing else.
const char updateScript[] = R"JS((function (detail) {
if (window.top === window && location.origin === %ORIGIN%)
  document.dispatchEvent(new CustomEvent(%UPDATE%, { detail: detail }));
})(%DETAIL%))JS";

QString literal(const QString &text)
{
    const QString array =
        QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact));
    return array.mid(1, array.size() - 2);
}

QWebEngineScript makeScript(const QString &name, QWebEngineScript::ScriptWorldId world,
                            const QString &source)
{
    QWebEngineScript script;
    script.setName(name);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(world);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(source);
    return script;
}

QString fill(const char *source, const QList<QPair<QString, QString>> &values)
{
    QString text = QString::fromUtf8(source);
    for (const auto &[name, value] : values)
        text.replace(name, value);
    return text;
}

QString snapshotJson()
{
    QJsonObject values;
    const QHash<QString, QString> snapshot = localstore::snapshot();
    for (auto it = snapshot.cbegin(); it != snapshot.cend(); ++it)
        values.insert(it.key(), it.value());
    return QString::fromUtf8(QJsonDocument(values).toJson(QJsonDocument::Compact));
}

} // namespace

QByteArray encodeResult(const QString &result)
{
    if (result.isNull())
        return QByteArrayLiteral("0");
    return '1' + result.toUtf8();
}

SchemeHandler::SchemeHandler(const QString &origin, CommandFunction command,
                             LinkFunction linkActivated, QObject *parent)
    : QWebEngineUrlSchemeHandler(parent), origin(origin), command(std::move(command)),
      linkActivated(std::move(linkActivated))
{
}

void SchemeHandler::requestStarted(QWebEngineUrlRequestJob *job)
{
    // Only the console itself may reach the shell: not other sites, not frames
    // of other origins, not the pop-up.
    if (job->requestMethod() != "GET" || origin.isEmpty() ||
        consoleurl::originOf(job->initiator()) != origin) {
        job->fail(QWebEngineUrlRequestJob::RequestDenied);
        return;
    }
    const QUrl url = job->requestUrl();
    const QString kind = url.path();
    const QString text = QUrl::fromPercentEncoding(url.query(QUrl::FullyEncoded).toLatin1());

    QByteArray body;
    if (kind == u"command") {
        body = encodeResult(command(text));
    } else if (kind == u"store") {
        body = encodeResult(snapshotJson());
    } else if (kind == u"link") {
        linkActivated(QUrl(text));
        body = encodeResult(QString());
    } else {
        job->fail(QWebEngineUrlRequestJob::UrlInvalid);
        return;
    }
    auto *buffer = new QBuffer(job);
    buffer->setData(body);
    job->reply(QByteArrayLiteral("text/plain"), buffer);
}

ChannelReceiver::ChannelReceiver(CommandFunction command, QObject *parent)
    : QObject(parent), command(std::move(command))
{
}

void ChannelReceiver::deliver(const QString &document, double sequence, const QStringList &texts)
{
    lastDocument = document;
    lastSequence = sequence;
    // Commands that arrive together share one opening of the store.
    const localstore::Batch batch;
    for (const QString &text : texts)
        command(text);
}

Bridge::Bridge(QWebEnginePage *page, const QString &origin, Mode mode, CommandFunction command,
               LinkFunction linkActivated, QObject *parent)
    : QObject(parent), page(page), origin(origin)
{
    auto *handler = new SchemeHandler(origin, command, std::move(linkActivated), this);
    page->profile()->installUrlSchemeHandler(schemeName(), handler);

    const QString token = QString::number(QRandomGenerator::global()->generate64(), 36);
    const QString sendEvent = QStringLiteral("brindleton-command-") + token;
    updateEvent = QStringLiteral("brindleton-store-") + token;
    const bool channelled = mode == Mode::Channel;
    page->scripts().insert(makeScript(
        QStringLiteral("brindleton-bridge"), QWebEngineScript::MainWorld,
        fill(mainWorldScript, {{QStringLiteral("%ORIGIN%"), literal(origin)},
                               {QStringLiteral("%CHANNEL%"),
                                channelled ? QStringLiteral("true") : QStringLiteral("false")},
                               {QStringLiteral("%SEND%"), literal(sendEvent)},
                               {QStringLiteral("%UPDATE%"), literal(updateEvent)}})));
    if (!channelled)
        return;

    receiver = new ChannelReceiver(std::move(command), this);
    channel = new QWebChannel(this);
    channel->registerObject(QStringLiteral("bridge"), receiver);
    page->setWebChannel(channel, QWebEngineScript::ApplicationWorld);
    const int method = receiver->metaObject()->indexOfMethod("deliver(QString,double,QStringList)");
    page->scripts().insert(
        makeScript(QStringLiteral("brindleton-channel"), QWebEngineScript::ApplicationWorld,
                   fill(channelScript, {{QStringLiteral("%ORIGIN%"), literal(origin)},
                                        {QStringLiteral("%SEND%"), literal(sendEvent)},
                                        {QStringLiteral("%METHOD%"), QString::number(method)}})));

    known = localstore::snapshot();
    watcher = new localstore::Watcher(this);
    connect(watcher, &localstore::Watcher::changed, this, &Bridge::storeChanged);
}

void Bridge::storeChanged()
{
    const QHash<QString, QString> now = localstore::snapshot();
    QJsonObject changes;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        const auto was = known.constFind(it.key());
        if (was == known.cend() || *was != it.value())
            changes.insert(it.key(), it.value());
    }
    for (auto it = known.cbegin(); it != known.cend(); ++it) {
        if (!now.contains(it.key()))
            changes.insert(it.key(), QJsonValue::Null);
    }
    known = now;
    if (changes.isEmpty())
        return;
    const QJsonObject update{{QStringLiteral("document"), receiver->lastDocument},
                             {QStringLiteral("sequence"), receiver->lastSequence},
                             {QStringLiteral("values"), changes}};
    const QString detail = QString::fromUtf8(QJsonDocument(update).toJson(QJsonDocument::Compact));
    page->runJavaScript(fill(updateScript, {{QStringLiteral("%ORIGIN%"), literal(origin)},
                                            {QStringLiteral("%UPDATE%"), literal(updateEvent)},
                                            {QStringLiteral("%DETAIL%"), literal(detail)}}),
                        QWebEngineScript::ApplicationWorld);
}

} // namespace bridge
