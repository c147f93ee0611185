// The bar at the foot of the console window that shows the latest download: its name and
// progress, then "Open" and "Show in folder" once saved. It hides itself a while after the end.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

class DownloadBar : public QFrame
{
    Q_OBJECT
public:
    explicit DownloadBar(QWidget *parent);

public slots:
    void showStarted(const QString &name);
    void showProgress(const QString &name, qint64 received, qint64 total);
    void showSaved(const QString &path);
    void showFailed(const QString &name, const QString &reason);

private:
    QLabel *label;
    QProgressBar *progressBar;
    QPushButton *openButton;
    QPushButton *folderButton;
    QTimer *hideTimer;
    QString savedPath;
};
