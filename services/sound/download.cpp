#include "services/sound/download.h"

#include "services/sound/soundio.h"

#include <QFuture>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
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

Download::Download(const QString &url, const QString &path, int deadlineMs)
    : url(url), path(path), deadlineMs(deadlineMs)
{
}

Download::~Download()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        delete reply.data();
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
        report(false, QStringLiteral("Unable to save the file"));
        return;
    }

    // The path and query go out as the URL spells them (each query has a file of its own);
    // user information and fragment are not sent.
    QNetworkRequest request(QUrl(url).adjusted(QUrl::RemoveUserInfo | QUrl::RemoveFragment));
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
    const std::unique_ptr<QNetworkReply> ended(reply.data());
    reply = nullptr;
    ended->disconnect(this);
    const int status = httpStatus(ended.get());

    if (writeFailed) {
        report(false, QStringLiteral("Unable to save the file"));
    } else if (timedOut) {
        report(false, u"Error: The download did not finish within " + soundio::seconds(deadlineMs));
    } else if (status != 0 && !isSuccess(status)) {
        const QString reason =
            ended->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        report(false, u"Error: HTTP " + QString::number(status) + u' ' + reason);
    } else if (ended->error() != QNetworkReply::NoError) {
        report(false, u"Error: " + ended->errorString());
    } else if (!isSuccess(status)) {
        report(false, QStringLiteral("Error: No HTTP status in the reply"));
    } else {
        // Committing waits for the disk (the file is synced before it takes its name): a
        // thread of the pool does it, and other fetches go on. The answer comes back here,
        // unless this download has gone meanwhile.
        auto committed = std::make_shared<QPromise<bool>>();
        committed->start();
        committed->future().then(this, [this](bool ok) {
            report(ok, ok ? QString() : QStringLiteral("Unable to save the file"));
        });
        QThreadPool::globalInstance()->start(
            [committed, file = std::shared_ptr<QSaveFile>(std::move(file)), path = path] {
                committed->addResult(commit(file.get(), path));
                committed->finish();
            });
    }
}

void Download::report(bool ok, const QString &line)
{
    emit ended(path, ok, line);
    deleteLater();
}

bool Download::commit(QSaveFile *file, const QString &path)
{
    // Whatever took the name meanwhile stays: a regular file may be a sound stored by another
    // run of the program, and the player plays it if it is this user's own; anything else
    // means the name is taken.
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
