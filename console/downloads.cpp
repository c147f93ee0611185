#include "console/downloads.h"

#include "console/consolepage.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebEngineDownloadRequest>
#include <QWebEngineProfile>

#include <memory>

namespace {

constexpr qsizetype maxNameBytes = 200;

// The file's place in folder: its own name, or "name (n).ext" for the first n that is free. The
// rename refuses to replace a file, so a file that appears meanwhile is never overwritten.
QString moveIntoPlace(const QString &from, const QString &folder, const QString &name)
{
    const QFileInfo info(name);
    const QString base = info.completeBaseName(), suffix = info.suffix();
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = n == 0 ? name
                                         : base + QStringLiteral(" (%1)").arg(n) +
                                               (suffix.isEmpty() ? QString() : u'.' + suffix);
        const QString to = QDir(folder).filePath(candidate);
        if (QFile::rename(from, to))
            return to;
        if (!QFile::exists(to))
            break; // not refused for the name: another name would fare no better
    }
    return QString();
}

} // namespace

Downloads::Downloads(QWebEngineProfile *profile, ConsolePage *page, QObject *parent)
    : QObject(parent), page(page)
{
    connect(profile, &QWebEngineProfile::downloadRequested, this, &Downloads::take);
}

QString Downloads::safeName(const QString &suggested)
{
    QString name = suggested.section(u'/', -1).section(u'\\', -1);
    name.removeIf([](QChar c) { return c.category() == QChar::Other_Control; });
    name = name.trimmed();
    while (name.startsWith(u'.'))
        name = name.mid(1).trimmed();
    const QString suffix = QFileInfo(name).suffix();
    const QString end = suffix.size() > 0 && suffix.size() <= 16 ? u'.' + suffix : QString();
    QString base = name.chopped(end.size());
    while (!base.isEmpty() && (base + end).toUtf8().size() > maxNameBytes) {
        base.chop(1);
        if (!base.isEmpty() && base.back().isHighSurrogate())
            base.chop(1);
    }
    name = base.isEmpty() ? QString() : base + end;
    return name.isEmpty() ? QStringLiteral("download") : name;
}

void Downloads::take(QWebEngineDownloadRequest *request)
{
    const QString name = safeName(request->suggestedFileName());
    if (request->page() != page || request->isSavePageDownload() ||
        !page->mayDownload(request->url())) {
        qDebug().noquote() << "Refused download without the user's activation:"
                           << request->url().toString(QUrl::RemoveQuery).left(200);
        request->cancel();
        return;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(folder);
    auto part = std::make_shared<QTemporaryDir>(folder + QStringLiteral("/.brindleton-XXXXXX"));
    if (!part->isValid()) {
        qDebug().noquote() << "Download failed:" << name + u':' << part->errorString();
        emit failed(name, part->errorString());
        request->cancel();
        return;
    }
    request->setDownloadDirectory(part->path());
    request->setDownloadFileName(name);
    connect(request, &QWebEngineDownloadRequest::receivedBytesChanged, this, [this, request, name] {
        emit progress(name, request->receivedBytes(), request->totalBytes());
    });
    // The engine counts an interrupted download (the connection lost, the body undecodable) as
    // not finished, to be resumed; nothing here resumes one, so it ends as cancelled, keeping the
    // interruption's reason.
    connect(request, &QWebEngineDownloadRequest::stateChanged, this,
            [request](QWebEngineDownloadRequest::DownloadState state) {
                if (state == QWebEngineDownloadRequest::DownloadInterrupted)
                    request->cancel();
            });
    // The folder goes, with whatever is left in it, once the download has ended either way.
    connect(request, &QWebEngineDownloadRequest::isFinishedChanged, this,
            [this, request, name, folder, part]() mutable {
                QString path, reason = request->interruptReasonString();
                if (request->state() == QWebEngineDownloadRequest::DownloadCompleted) {
                    path = moveIntoPlace(QDir(part->path()).filePath(name), folder, name);
                    reason = QStringLiteral("could not move the file into %1").arg(folder);
                } else if (request->interruptReason() == QWebEngineDownloadRequest::NoReason ||
                           request->interruptReason() == QWebEngineDownloadRequest::UserCanceled) {
                    reason = QStringLiteral("cancelled");
                }
                part.reset();
                if (path.isEmpty()) {
                    qDebug().noquote() << "Download failed:" << name + u':' << reason;
                    emit failed(name, reason);
                } else {
                    qDebug().noquote() << "Saved" << path;
                    emit saved(path);
                }
            });
    request->accept();
    emit started(name);
}
