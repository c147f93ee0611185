// The console window: one web view showing the service's console page, with
// the script bridge, link handling, title following and the exit prompt.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QThreadPool>
#include <QUrl>

class ConsolePage;
class NotifyWindow;
class QWebEngineProfile;
class Ui_MainWindow;
namespace localstore {
class Store;
}

#include "console/bridge.h"

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Points the console view at the address; the page loads in the event loop.
    void loadPage(const QString &address);

    // The directory of the console's disk cache.
    static QString cacheDirectory();

    bridge::Bridge *bridgeForTests() const { return bridge; }

    // The pop-up that the console's commands drive; links activated in it follow the console's.
    void setNotifyWindow(NotifyWindow *window);

    Ui_MainWindow *ui = nullptr;
    int closeConfirmed = 0;

public slots:
    void handle_titleChanged(const QString &title);
    void handle_linkClicked(const QUrl &url);
    void handle_javaScriptWindowObjectCleared();
    void handle_querydns(QString address, QString hostName);
    QString command(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void openExternally(const QUrl &url);
    void followTitle(const QString &title);

    NotifyWindow *notifyWindow = nullptr;
    QWebEngineProfile *profile = nullptr;
    ConsolePage *page = nullptr;
    localstore::Store *store = nullptr;
    bridge::Bridge *bridge = nullptr;
    QThreadPool opener; // starts the desktop's opener, so that the window never waits for it
    quint64 titleChanges = 0;
};
