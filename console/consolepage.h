// The console's web page: hands link activations to the window instead of
// following them, while the page's own script navigation stays in the view.
#pragma once

#include <QElapsedTimer>
#include <QUrl>
#include <QWebEnginePage>

class ConsolePage : public QWebEnginePage
{
    Q_OBJECT
public:
    ConsolePage(QWebEngineProfile *profile, const QString &consoleOrigin, QObject *parent);

    // The page's own bridge script saw the user activate a link to url.
    void noteLinkActivation(const QUrl &url);
    // The user pressed a key or released a mouse button in the view.
    void noteUserInput();

    // Whether a load of url that has just started is one this page refused:
    // the engine reports the start of refused navigations too.
    bool takeRefusedLoad(const QUrl &url);

    // Whether the view shows url itself; other schemes would go to the desktop.
    static bool isShownInView(const QUrl &url);

signals:
    void linkClicked(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    bool isLinkActivation(const QUrl &url, bool isMainFrame);

    bool refuse(const QUrl &url);

    QString consoleOrigin;
    QList<QUrl> refusedLoads;
    QUrl activatedLink;
    QElapsedTimer activatedLinkTimer;
    QElapsedTimer userInputTimer;
};
