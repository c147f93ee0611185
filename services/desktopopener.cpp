#include "services/desktopopener.h"

#include "console/desktoplink.h"
#include "platform/platform.h"

#include <QDebug>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcOpener, "brindleton.opener")

DesktopOpener::DesktopOpener(QObject *parent) : QObject(parent)
{
    starter.setMaxThreadCount(1);
    starter.setExpiryTimeout(1000);
    // Ended openers are collected once a second, while any runs.
    collector.setInterval(1000);
    connect(&collector, &QTimer::timeout, this, &DesktopOpener::collect);
    sinceAllowance.start();
}

DesktopOpener::~DesktopOpener()
{
    starter.waitForDone();
    collect(); // those still running are left to the end of the process
}

void DesktopOpener::open(const QUrl &url)
{
    if (!desktoplink::isOpenable(url)) {
        qDebug().noquote() << "Refused to open" << url.toString();
        return;
    }
    if (const qint64 grown = sinceAllowance.elapsed() / intervalMs; grown > 0) {
        allowance = int(qMin<qint64>(burst, allowance + grown));
        sinceAllowance.start();
    }
    if (allowance == 0) {
        qDebug().noquote() << "Refused to open" << url.toString()
                           << "(too many addresses in a short time)";
        return;
    }
    --allowance;
    const QUrl cleaned = desktoplink::withoutAttachments(url);
    if (cleaned != url)
        qDebug().noquote() << "Removed the file attachments from" << cleaned.toString();
    starter.start([this, cleaned] {
        const qint64 process = platform::openOnDesktop(cleaned);
        QMetaObject::invokeMethod(this, [this, process, cleaned] { started(process, cleaned); });
    });
}

void DesktopOpener::started(qint64 process, const QUrl &url)
{
    if (process < 0) {
        qCWarning(lcOpener).noquote() << "The desktop could not open" << url.toString();
    } else if (process > 0) {
        running.append(process);
        collector.start();
    }
}

void DesktopOpener::collect()
{
    running.removeIf(platform::collectOpener);
    if (running.isEmpty())
        collector.stop();
}
