#include "console/downloadbar.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

DownloadBar::DownloadBar(QWidget *parent)
    : QFrame(parent), label(new QLabel(this)), progressBar(new QProgressBar(this)),
      openButton(new QPushButton(tr("Open"), this)),
      folderButton(new QPushButton(tr("Show in folder"), this)), hideTimer(new QTimer(this))
{
    setFrameShape(QFrame::StyledPanel);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(6, 2, 6, 2);
    row->addWidget(label, 1);
    row->addWidget(progressBar);
    row->addWidget(openButton);
    row->addWidget(folderButton);
    hideTimer->setSingleShot(true);
    hideTimer->setInterval(15000);
    connect(hideTimer, &QTimer::timeout, this, &QWidget::hide);
    // A saved file is opened, or its folder shown, on the operator's click alone.
    connect(openButton, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(savedPath)); });
    connect(folderButton, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(savedPath).absolutePath()));
    });
    hide();
}

void DownloadBar::showStarted(const QString &name)
{
    hideTimer->stop();
    label->setText(name);
    progressBar->setRange(0, 0);
    progressBar->show();
    openButton->hide();
    folderButton->hide();
    show();
}

void DownloadBar::showProgress(const QString &name, qint64 received, qint64 total)
{
    if (name != label->text())
        return; // an earlier download that is still under way
    // In kilobytes, which an int holds for files up to 2 TB.
    progressBar->setRange(0, total > 0 ? int(total / 1024) + 1 : 0);
    progressBar->setValue(int(received / 1024));
}

void DownloadBar::showSaved(const QString &path)
{
    savedPath = path;
    label->setText(tr("Saved %1").arg(QFileInfo(path).fileName()));
    progressBar->hide();
    openButton->show();
    folderButton->show();
    show();
    hideTimer->start();
}

void DownloadBar::showFailed(const QString &name, const QString &reason)
{
    label->setText(tr("Download failed: %1: %2").arg(name, reason));
    progressBar->hide();
    openButton->hide();
    folderButton->hide();
    show();
    hideTimer->start();
}
