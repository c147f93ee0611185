#include "console/bridge.h"

#include "console/consoleurl.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonValue>
#include <QWebEngineScript>
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

// Runs before any script of the page. Everything it uses is captured first, so
// that the page's own script cannot change how the bridge talks to the shell.
const char scriptTemplate[] = R"JS((function () {
'use strict';
if (window.top !== window || location.origin !== %ORIGIN%) return;
if (Object.prototype.hasOwnProperty.call(window, 'webkitExternal')) return;
const XHR = XMLHttpRequest;
const open = XHR.prototype.open, send = XHR.prototype.send,
      override = XHR.prototype.overrideMimeType;
const statusOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'status').get;
const textOf = Object.getOwnPropertyDescriptor(XHR.prototype, 'responseText').get;
const apply = Reflect.apply, encode = encodeURIComponent, toStr = String;
const replace = String.prototype.replace, slice = String.prototype.slice;
const charAt = String.prototype.charAt;
const loneSurrogate = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;
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
const external = Object.freeze({
  command: function command(text) { return request('command', toStr(text)); }
});
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

} // namespace

QWebEngineScript script(const QString &origin)
{
    QString source = QString::fromUtf8(scriptTemplate);
    const QString quotedOrigin = QString::fromUtf8(
        QJsonDocument::fromVariant(QVariantList{origin}).toJson(QJsonDocument::Compact));
    source.replace(QStringLiteral("%ORIGIN%"),
                   quotedOrigin.mid(1, quotedOrigin.size() - 2)); // strip [ ]
    QWebEngineScript script;
    script.setName(QStringLiteral("brindleton-bridge"));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(source);
    return script;
}

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

} // namespace bridge
