#include "services/sound/soundthread.h"

#include "platform/platform.h"
#include "services/memorytrim.h"
#include "services/sound/download.h"
#include "services/sound/soundio.h"
#include "services/sound/soundservice.h"
#include "services/soundpath.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <utility>

namespace {

int downloadDeadlineMs = 2 * 60 * 1000;

QString registryKey(const QString &path)
{
    return platform::fileNamesIgnoreCase() ? path.toCaseFolded() : path;
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

} // namespace

void SoundThread::setDownloadDeadline(int ms)
{
    downloadDeadlineMs = ms;
}

SoundThread::~SoundThread()
{
    if (stage != Stage::FetchQueued && stage != Stage::Fetching)
        return;
    SoundService *service = SoundService::instance();
    if (download)
        download->deleteLater(); // ends the fetch; an uncommitted file leaves nothing behind
    if (service->fetches.value(registryKey(path)) == this) {
        // Destroyed while fetching: whoever waits gets nothing to play.
        service->fetches.remove(registryKey(path));
        emit finished();
    }
    if (stage == Stage::Fetching) {
        --service->downloading;
        service->startFetches();
    }
}

void SoundThread::start()
{
    Q_ASSERT(thread() == QThread::currentThread());
    const QUrl source(url);
    path = soundpath::filePath(source);
    SoundService *service = SoundService::instance();
    if (path.isNull()) {
        soundio::writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    }
    if (SoundThread *fetcher = service->fetches.value(registryKey(path))) {
        waitFor(fetcher);
        return;
    }
    switch (soundio::entryAt(path)) {
    case soundio::Entry::RegularFile:
        play();
        return;
    case soundio::Entry::Other:
        soundio::writeLog(QStringLiteral("Unable to save the file"));
        deleteLater();
        return;
    case soundio::Entry::Missing:
        break;
    }
    const QString reason = unfetchableReason(source);
    if (!reason.isEmpty()) {
        soundio::writeLog(u"Error: " + reason);
        endFetch(false);
        return;
    }
    service->fetches.insert(registryKey(path), this);
    service->fetchQueue.enqueue(this);
    stage = Stage::FetchQueued;
    service->startFetches();
}

void SoundThread::waitFor(SoundThread *fetcher)
{
    stage = Stage::Waiting;
    connect(fetcher, &SoundThread::finished, this, [this, fetcher] {
        const bool ok = fetcher->fetched;
        emit finished();
        if (ok)
            play();
        else
            deleteLater();
    });
}

void SoundThread::fetch()
{
    stage = Stage::Fetching;
    SoundService *service = SoundService::instance();
    // The answer comes back through the service, which outlives every fetch; a sound
    // destroyed meanwhile gets nothing.
    const QPointer<SoundThread> self(this);
    auto *fetch =
        new Download(url, path, downloadDeadlineMs, [service, self](bool ok, const QString &line) {
            QMetaObject::invokeMethod(service, [self, ok, line] {
                if (self)
                    self->fetchEnded(ok, line);
            });
        });
    download = fetch;
    fetch->moveToThread(service->fetchThread);
    QNetworkAccessManager *network = service->network;
    QMetaObject::invokeMethod(fetch, [fetch, network] { fetch->start(network); });
}

void SoundThread::fetchEnded(bool ok, const QString &line)
{
    std::exchange(download, nullptr)->deleteLater();
    if (!line.isEmpty())
        soundio::writeLog(line);
    endFetch(ok);
}

void SoundThread::endFetch(bool ok)
{
    SoundService *service = SoundService::instance();
    if (service->fetches.value(registryKey(path)) == this)
        service->fetches.remove(registryKey(path));
    fetched = ok;
    emit finished();
    if (std::exchange(stage, Stage::Done) == Stage::Fetching) {
        --service->downloading;
        service->startFetches();
    }
    if (ok)
        play();
    else
        deleteLater();
}

void SoundThread::play()
{
    soundio::writeLog(u"Play file " + QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()));
    stage = Stage::PlayQueued;
    SoundService *service = SoundService::instance();
    service->playQueue.enqueue(this);
    service->startPlays();
}

void SoundThread::endPlayback(bool ok)
{
    memorytrim::workEnded();
    stage = Stage::Done;
    emit played(ok);
    deleteLater();
}
