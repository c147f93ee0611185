#include "console/unreachable.h"

#include <QDebug>
#include <QEvent>
#include <QKeySequence>
#include <QLabel>
#include <QNetworkInformation>
#include <QPushButton>
#include <QShortcut>
#include <QTcpSocket>
#include <QVBoxLayout>
#include <QWebEngineCertificateError>
#include <QWebEngineLoadingInfo>
#include <QWebEngineView>

namespace {

// The engine's network error codes (Chromium's net/base/net_error_list.h) that the message
// names; others are told by the engine's own text.
enum NetError {
    TimedOut = -7,
    ConnectionClosed = -100,
    ConnectionReset = -101,
    ConnectionRefused = -102,
    ConnectionAborted = -103,
    NameNotResolved = -105,
    InternetDisconnected = -106,
    AddressUnreachable = -109,
    ConnectionTimedOut = -118,
    NameResolutionFailed = -137,
    EmptyResponse = -324,
    ContentLengthMismatch = -354,
    IncompleteChunkedEncoding = -355,
};

// Loads after a failure that each write the failure's line; later ones fail silently.
constexpr int loggedTries = 3;

// While an outage is this young, a server that refused or did not answer is asked once a second
// for a connection between the tries, and the page loaded as soon as it takes one: the console
// comes back within a second or two of its server, while the page itself is loaded only at the
// growing intervals.
constexpr qint64 probingMs = 5 * 60 * 1000;

bool isWorthProbing(const QWebEngineLoadingInfo &info)
{
    switch (info.errorCode()) {
    case TimedOut:
    case ConnectionRefused:
    case AddressUnreachable:
    case ConnectionTimedOut:
    case InternetDisconnected:
        return true;
    default:
        return false; // a server that takes connections and then fails would be tried each second
    }
}

QString certificateCause(QWebEngineCertificateError::Type type)
{
    switch (type) {
    case QWebEngineCertificateError::CertificateDateInvalid:
        return QStringLiteral("it has expired or is not yet valid");
    case QWebEngineCertificateError::CertificateCommonNameInvalid:
        return QStringLiteral("it was issued for another name");
    case QWebEngineCertificateError::CertificateAuthorityInvalid:
        return QStringLiteral("its issuer is unknown");
    case QWebEngineCertificateError::CertificateRevoked:
        return QStringLiteral("it has been revoked");
    default:
        return QString();
    }
}

// Qt 6.5 added loadDefaultBackend(), the platform's own backend; Qt 6.4 picks one by what it
// reports. Either may find none (no network manager on the desktop): the retries go on.
bool loadReachabilityBackend()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return QNetworkInformation::loadDefaultBackend() &&
           QNetworkInformation::instance()->supports(QNetworkInformation::Feature::Reachability);
#else
    return QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
#endif
}

} // namespace

Unreachable::Unreachable(QWebEngineView *view, QObject *parent)
    : QObject(parent), view(view), page(view->page())
{
    overlay = new QWidget(view);
    overlay->setObjectName(QStringLiteral("consoleUnreachable"));
    overlay->setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(overlay);
    layout->addStretch();
    text = new QLabel(overlay);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    text->setTextFormat(Qt::PlainText); // the address and the engine's words are not markup
    layout->addWidget(text);
    countdown = new QLabel(overlay);
    layout->addWidget(countdown, 0, Qt::AlignHCenter);
    auto *button = new QPushButton(QStringLiteral("Try again now"), overlay);
    layout->addWidget(button, 0, Qt::AlignHCenter);
    layout->addStretch();
    overlay->hide();
    connect(button, &QPushButton::clicked, this, &Unreachable::tryNow);
    // The window's own keys for a reload, live only while the message shows.
    for (const QKeySequence &key : {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)})
        connect(new QShortcut(key, overlay), &QShortcut::activated, this, &Unreachable::tryNow);
    view->installEventFilter(this);

    retry.setSingleShot(true);
    connect(&retry, &QTimer::timeout, this, &Unreachable::tryNow);
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, this, &Unreachable::updateCountdown);

    prober = new QTcpSocket(this);
    probing.setInterval(1000);
    connect(&probing, &QTimer::timeout, this, &Unreachable::probe);
    connect(prober, &QTcpSocket::connected, this, [this] {
        prober->abort();
        tryNow();
    });

    connect(page, &QWebEnginePage::loadingChanged, this, &Unreachable::loadingChanged);
    connect(page, &QWebEnginePage::certificateError, this, &Unreachable::certificateRejected);
}

bool Unreachable::isShown() const
{
    return !overlay->isHidden();
}

QString Unreachable::causeOf(const QWebEngineLoadingInfo &info, const QString &certificateWhy)
{
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus)
        return QString();
    const int code = info.errorCode();
    switch (info.errorDomain()) {
    case QWebEngineLoadingInfo::DnsErrorDomain:
    case QWebEngineLoadingInfo::ConnectionErrorDomain:
        break;
    case QWebEngineLoadingInfo::CertificateErrorDomain:
        return QStringLiteral("The certificate of the server is not trusted") +
               (certificateWhy.isEmpty() ? QString() : u": " + certificateWhy) + u'.';
    case QWebEngineLoadingInfo::HttpErrorDomain:
        if (code < 0) // the engine's own codes for a broken answer; an HTTP status is positive
            break;
        return QString();
    case QWebEngineLoadingInfo::InternalErrorDomain:
        // Where a refused navigation (aborted, blocked by the request guard) ends too: only a
        // load that waited in vain counts.
        if (code == TimedOut)
            break;
        return QString();
    default:
        return QString();
    }
    switch (code) {
    case NameNotResolved:
    case NameResolutionFailed:
        return QStringLiteral("The name %1 was not found.").arg(info.url().host());
    case ConnectionRefused:
        return QStringLiteral("The connection was refused.");
    case TimedOut:
    case ConnectionTimedOut:
        return QStringLiteral("There was no answer in time.");
    case ConnectionClosed:
    case ConnectionReset:
    case ConnectionAborted:
    case EmptyResponse:
    case ContentLengthMismatch:
    case IncompleteChunkedEncoding:
        return QStringLiteral("The connection dropped.");
    case InternetDisconnected:
        return QStringLiteral("The computer is not connected to a network.");
    case AddressUnreachable:
        return QStringLiteral("The address cannot be reached.");
    default:
        break;
    }
    // The engine names the secure connection's failures (protocol, version, cipher, client
    // certificate) ERR_SSL_... and the like.
    if (info.errorString().contains(u"SSL"))
        return QStringLiteral("The secure connection could not be made (%1).")
            .arg(info.errorString());
    return QStringLiteral("The load failed (%1).").arg(info.errorString());
}

void Unreachable::certificateRejected(const QWebEngineCertificateError &error)
{
    // Never waved through: there is no way to go on to a server whose certificate the engine
    // does not trust.
    QWebEngineCertificateError refused = error;
    refused.rejectCertificate();
    const QString why = certificateCause(error.type());
    certificateWhy = why.isEmpty() ? error.description() : why + u" (" + error.description() + u')';
    certificateUrl = error.url();
    qDebug().noquote() << "Refused the certificate of" << error.url().toString() + u':'
                       << error.description();
}

void Unreachable::loadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus) {
        retry.stop();
        tick.stop();
        probing.stop();
        prober->abort();
        outage.invalidate();
        if (tries > 0 && isShown())
            qDebug().noquote() << QStringLiteral("The console loaded after %1 tries").arg(tries);
        tries = 0;
        intervalMs = 0;
        if (isShown()) {
            overlay->hide();
            emit shownChanged(false);
        }
        return;
    }
    const bool sameHost = certificateUrl.host() == info.url().host();
    const QString why = causeOf(info, sameHost ? certificateWhy : QString());
    if (why.isEmpty())
        return;
    failed = info.url();
    if (tries < loggedTries || why != cause)
        qDebug().noquote() << "Unable to load the console:" << failed.toString() + u':' << why;
    cause = why;
    intervalMs = intervalMs == 0 ? firstIntervalMs : qMin(intervalMs * 2, maxIntervalMs);
    text->setText(QStringLiteral("The console at %1 cannot be shown.\n%2")
                      .arg(failed.toString(QUrl::RemoveUserInfo), why));
    retry.start(intervalMs);
    nextTry.setRemainingTime(intervalMs);
    if (!outage.isValid())
        outage.start();
    if (isWorthProbing(info) && outage.elapsed() < probingMs)
        probing.start();
    else
        probing.stop();
    tick.start();
    updateCountdown();
    watchNetwork();
    if (!isShown()) {
        overlay->setGeometry(view->rect());
        overlay->raise();
        overlay->show();
        overlay->findChild<QPushButton *>()->setFocus();
        emit shownChanged(true);
    }
}

void Unreachable::tryNow()
{
    if (!isShown() || !page)
        return;
    retry.stop();
    tick.stop();
    probing.stop();
    countdown->setText(QStringLiteral("Trying again\u2026"));
    ++tries;
    page->load(failed);
}

void Unreachable::probe()
{
    if (outage.elapsed() >= probingMs) {
        probing.stop();
        return;
    }
    prober->abort();
    prober->connectToHost(failed.host(),
                          quint16(failed.port(failed.scheme() == u"http" ? 80 : 443)));
}

void Unreachable::updateCountdown()
{
    const qint64 seconds = (nextTry.remainingTime() + 999) / 1000;
    countdown->setText(QStringLiteral("Trying again in %1 s.").arg(seconds));
}

void Unreachable::watchNetwork()
{
    if (std::exchange(watchingNetwork, true) || !loadReachabilityBackend())
        return;
    connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                if (reachability != QNetworkInformation::Reachability::Disconnected &&
                    reachability != QNetworkInformation::Reachability::Unknown)
                    tryNow();
            });
}

bool Unreachable::eventFilter(QObject *watched, QEvent *event)
{
    // Compared by address only, as RendererGuard does: the view's last events come while it
    // is being destroyed.
    if (event->type() == QEvent::Resize && watched == overlay->parent())
        overlay->setGeometry(static_cast<QWidget *>(watched)->rect());
    return QObject::eventFilter(watched, event);
}
