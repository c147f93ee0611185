// The console's web page: hands link activations to the window instead of
// following them, while the page's own script navigation stays in the view.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>

class QAuthenticator;
class QWebEngineNewWindowRequest;

class ConsolePage : public QWebEnginePage
{
    Q_OBJECT
public:
    ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent);

    // The console's own script (console/bridge/links.js) announces each link it
    // activates, before the engine acts on it.
    void noteLinkActivation(const QUrl &url);
    // The user clicked (or pressed Enter on) a link in a frame of the view, as the engine tells
    // console/bridge/clicks.js; it counts until the user's next press.
    void noteUserClick(const QUrl &url);

    // Whether the view shows url itself; other schemes would go to the desktop.
    static bool isShownInView(const QUrl &url);

    // Watches the user's input to view, the page's view: a frame of another origin may open a
    // link only after a click or Enter, not after any key, which the engine counts as well.
    void watchInput(QWidget *view);

    // Whether a download of url may be saved: the console's own address or blob:, or else only
    // within seconds of the user's click or Enter, which it uses up.
    bool mayDownload(const QUrl &url);

signals:
    void linkClicked(const QUrl &url);
    // The console's server, or the proxy (when proxyHost is not empty), asks the user to sign in;
    // the answer goes into authenticator, or nothing to cancel.
    void signInRequested(const QUrl &requestUrl, const QString &proxyHost,
                         QAuthenticator *authenticator);
    // The console's document asks for full screen, or to leave it.
    void fullScreenWanted(bool on);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool isConsole(const QUrl &url) const;
    // Whether a navigation of the main frame may replace the console's document.
    bool mayReplaceConsole(const QUrl &url, NavigationType type) const;
    void newWindow(QWebEngineNewWindowRequest &request);
    static bool take(QUrl &held, const QUrl &url);
    void askToSignIn(const QUrl &requestUrl, QAuthenticator *authenticator,
                     const QString &proxyHost);
    void refusePermissions();

    QString consoleOrigin;
    QUrl announcedLink;
    QUrl clickedLink;    // the link of the user's click since the last press, if any
    QUrl lastConsoleUrl; // the console's document the view shows, if it shows one
    QPointer<QWidget> inputView;
    bool lastInputOpens = false; // the user's last input to the view was a click or Enter
    QElapsedTimer sinceInput;    // since the user's last input to the view
};
