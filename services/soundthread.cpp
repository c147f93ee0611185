#include "services/soundthread.h"

#include "services/soundpath.h"

#include <QAudioOutput>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMediaPlayer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>

#include <iostream>
#include <utility>

namespace {

// A fetch that stalls this long without receiving anything is given up.
constexpr int transferTimeoutMs = 60 * 1000;

// How much of a body may wait in memory before it is written to the file.
constexpr qint64 readBufferSize = 256 * 1024;

void writeLog(const QString &line)
{
    std::cerr << line.toLocal8Bit().constData() << std::endl;
}

// Fetches under way, by the file they fill. GUI thread only.
QHash<QString, SoundThread *> &fetchesUnderWay()
{
    static QHash<QString, SoundThread *> fetches;
    return fetches;
}

QString registryKey(const QString &path)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return path.toCaseFolded();
#else
    return path;
#endif
}

// Why a URL cannot be fetched, or an empty string when it can.
QString unfetchableReason(const QUrl &source)
{
    if (source.isEmpty())
        return QStringLiteral("No URL given");
    if (!source.isValid())
        return u"Invalid URL: " + source.errorString();
    const QString scheme = source.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return u"Unsupported URL scheme \"" + scheme + u"\": only http and https are fetched";
    if (source.host().isEmpty())
        return QStringLiteral("No host in the URL");
    return QString();
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

} // namespace

SoundThread::~SoundThread()
{
    // Children go after this body has run: keep their last signals away.
    if (reply)
        reply->disconnect(this);
    if (player)
        player->disconnect(this);
    if (registered) {
        // Destroyed while fetching: whoever waits gets nothing to play.
        fetchesUnderWay().remove(registryKey(path));
        registered = false;
        emit finished();
    }
    discardPartFile();
}

void SoundThread::start()
{
    Q_ASSERT(thread() == QThread::currentThread());
    const QUrl source(url);
    path = soundpath::filePath(source);
    if (path.isNull()) {
        writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    }
    if (SoundThread *fetcher = fetchesUnderWay().value(registryKey(path))) {
        waitFor(fetcher);
        return;
    }
    if (QFileInfo(path).isFile()) {
        play();
        return;
    }
    fetch(source);
}

void SoundThread::waitFor(SoundThread *fetcher)
{
    connect(fetcher, &SoundThread::finished, this, [this, fetcher] {
        const bool ok = fetcher->fetched;
        emit finished();
        if (ok)
            play();
        else
            deleteLater();
    });
}

void SoundThread::fetch(const QUrl &source)
{
    const QString reason = unfetchableReason(source);
    if (!reason.isEmpty()) {
        writeLog(u"Error: " + reason);
        endFetch(false);
        return;
    }

    // The body goes to a file of its own beside the final one and takes the
    // final name only once it is complete: the final name never holds part of
    // a sound, whatever happens to the fetch or the program.
    if (!openPartFile()) {
        writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    }

    fetchesUnderWay().insert(registryKey(path), this);
    registered = true;

    // The path goes out as the URL spells it; user information, query and
    // fragment are not sent.
    QNetworkRequest request(
        source.adjusted(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);

    network = new QNetworkAccessManager(this);
    reply = network->get(request);
    // Without a limit the network layer reads ahead into memory as fast as the
    // server sends; with one, the body waits in the socket until written out.
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QIODevice::readyRead, this, &SoundThread::storeReceived);
    connect(reply, &QNetworkReply::finished, this, &SoundThread::onReplyFinished);
}

bool SoundThread::openPartFile()
{
    // A name of its own for each fetch, so that nothing else writes into it.
    // Unbuffered: each piece goes to the disk as it arrives, and a full disk
    // shows at once.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString name =
            path + u".part-" + QString::number(QRandomGenerator::global()->generate(), 36);
        auto *file = new QFile(name, this);
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            partFile = file;
            return true;
        }
        delete file;
    }
    return false;
}

void SoundThread::discardPartFile()
{
    if (!partFile)
        return;
    partFile->remove();
    delete std::exchange(partFile, nullptr);
}

void SoundThread::storeReceived()
{
    if (!isSuccess(httpStatus(reply))) {
        // An error page is no sound: drop it.
        reply->skip(reply->bytesAvailable());
        return;
    }
    const QByteArray data = reply->readAll();
    if (partFile->write(data) != data.size()) {
        writeFailed = true;
        reply->abort();
    }
}

void SoundThread::onReplyFinished()
{
    QNetworkReply *const done = std::exchange(reply, nullptr);
    done->deleteLater();
    const int status = httpStatus(done);

    if (writeFailed) {
        writeLog(QStringLiteral("Unable to save the file"));
        endFetch(false);
    } else if (status != 0 && !isSuccess(status)) {
        const QString reason =
            done->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        writeLog(u"Error: HTTP " + QString::number(status) + u' ' + reason);
        endFetch(false);
    } else if (done->error() != QNetworkReply::NoError) {
        writeLog(u"Error: " + done->errorString());
        endFetch(false);
    } else if (!isSuccess(status)) {
        writeLog(QStringLiteral("Error: No HTTP status in the reply"));
        endFetch(false);
    } else if (!moveIntoPlace()) {
        writeLog(QStringLiteral("Unable to save the file"));
        endFetch(false);
    } else {
        endFetch(true);
    }
}

bool SoundThread::moveIntoPlace()
{
    partFile->close();
    if (partFile->error() != QFileDevice::NoError)
        return false;
    // Whatever else is in the way (only something outside this program can
    // have put it there) gives way to the complete file.
    QFile::remove(path);
    if (!partFile->rename(path))
        return false;
    delete std::exchange(partFile, nullptr);
    return true;
}

void SoundThread::endFetch(bool ok)
{
    if (registered) {
        fetchesUnderWay().remove(registryKey(path));
        registered = false;
    }
    discardPartFile();
    fetched = ok;
    emit finished();
    if (ok)
        play();
    else
        deleteLater();
}

void SoundThread::play()
{
    writeLog(u"Play file " + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
    player = new QMediaPlayer(this);
    player->setAudioOutput(new QAudioOutput(player));
    connect(player, &QMediaPlayer::mediaStatusChanged, this,
            [this](QMediaPlayer::MediaStatus status) {
                if (status == QMediaPlayer::EndOfMedia)
                    endPlayback(true);
                else if (status == QMediaPlayer::InvalidMedia)
                    endPlayback(false);
            });
    connect(player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError)
            endPlayback(false);
    });
    player->setSource(QUrl::fromLocalFile(path));
    player->play();
}

void SoundThread::endPlayback(bool ok)
{
    if (playbackEnded)
        return;
    playbackEnded = true;
    emit played(ok);
    deleteLater();
}
