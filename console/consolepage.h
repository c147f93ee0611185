// The console's web page: hands link activations to the window instead of
// following them, while the page's own script navigation stays in the view.
#pragma once

#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>

class QWebEngineNewWindowRequest;

class ConsolePage : public QWebEnginePage
{
    Q_OBJECT
public:
    ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent);

    // The console's own script (console/bridge/links.js) announces each link it
    // activates, before the engine acts on it.
    void noteLinkActivation(const QUrl &url);

    // Whether the view shows url itself; other schemes would go to the desktop.
    static bool isShownInView(const QUrl &url);

    // Watches the user's input to view, the page's view: a frame of another origin may open a
    // link only after a click or Enter, not after any key, which the engine counts as well.
    void watchInput(QWidget *view);

signals:
    void linkClicked(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isConsole(const QUrl &url) const;
    // Whether a navigation of the main frame may replace the console's document.
    bool mayReplaceConsole(const QUrl &url, NavigationType type) const;
    void newWindow(QWebEngineNewWindowRequest &request);
    bool takeAnnouncedLink(const QUrl &url);

    QString consoleOrigin;
    QUrl announcedLink;
    QUrl lastConsoleUrl; // the console's document the view shows, if it shows one
    QPointer<QWidget> inputView;
    bool lastInputOpens = false; // the user's last input to the view was a click or Enter
};
