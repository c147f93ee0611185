#include "services/sound/download.h"

#include "services/sound/soundio.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {

// How much of a body may wait in memory before it is written to the file.
constexpr qint64 readBufferSize = 256 * 1024;

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

} // namespace

Download::Download(const QString &url, const QString &path, int deadlineMs, Done done)
    : url(url), path(path), deadlineMs(deadlineMs), done(std::move(done))
{
}

Download::~Download()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        delete reply;
    }
}

void Download::start(QNetworkAccessManager *network)
{
    // The body goes to an unnamed or temporary file beside the final one and
    // takes the final name only once complete and checked.
    file = std::make_unique<QSaveFile>(path);
    file->setDirectWriteFallback(false);
    if (soundio::entryAt(path) != soundio::Entry::Missing ||
        !file->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        done(false, QStringLiteral("Unable to save the file"));
        return;
    }

    // The path goes out as the URL spells it; user information, query and
    // fragment are not sent.
    QNetworkRequest request(
        QUrl(url).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    reply = network->get(request);
    // Without a limit the network layer reads ahead into memory as fast as the
    // server sends; with one, the body waits in the socket until written out.
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QIODevice::readyRead, this, &Download::storeReceived);
    connect(reply, &QNetworkReply::finished, this, &Download::onReplyFinished);
    auto *deadline = new QTimer(this);
    deadline->setSingleShot(true);
    // The deadline may pass after the reply has finished, while the file is committed.
    connect(deadline, &QTimer::timeout, this, [this] {
        if (reply) {
            timedOut = true;
            reply->abort();
        }
    });
    deadline->start(deadlineMs);
}

void Download::storeReceived()
{
    if (!isSuccess(httpStatus(reply))) {
        // An error page is no sound: drop it.
        reply->skip(reply->bytesAvailable());
        return;
    }
    const QByteArray data = reply->readAll();
    if (file->write(data) != data.size()) {
        writeFailed = true;
        reply->abort();
    }
}

void Download::onReplyFinished()
{
    const std::unique_ptr<QNetworkReply> ended(std::exchange(reply, nullptr));
    ended->disconnect(this);
    const int status = httpStatus(ended.get());

    if (writeFailed) {
        done(false, QStringLiteral("Unable to save the file"));
    } else if (timedOut) {
        done(false, u"Error: The download did not finish within " + soundio::seconds(deadlineMs));
    } else if (status != 0 && !isSuccess(status)) {
        const QString reason =
            ended->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        done(false, u"Error: HTTP " + QString::number(status) + u' ' + reason);
    } else if (ended->error() != QNetworkReply::NoError) {
        done(false, u"Error: " + ended->errorString());
    } else if (!isSuccess(status)) {
        done(false, QStringLiteral("Error: No HTTP status in the reply"));
    } else {
        // Committing waits for the disk (the file is synced before it takes
        // its name): a thread of the pool does it, and other fetches go on.
        QThreadPool::globalInstance()->start(
            [file = std::shared_ptr<QSaveFile>(std::move(file)), path = path, done = done] {
                const bool ok = commit(file.get(), path);
                done(ok, ok ? QString() : QStringLiteral("Unable to save the file"));
            });
    }
}

bool Download::commit(QSaveFile *file, const QString &path)
{
    // Whatever took the name meanwhile stays: a regular file is a sound stored
    // by someone else and is played; anything else means the name is taken.
    switch (soundio::entryAt(path)) {
    case soundio::Entry::Missing:
        return file->commit();
    case soundio::Entry::RegularFile:
        file->cancelWriting();
        return true;
    case soundio::Entry::Other:
        return false;
    }
    return false;
}
