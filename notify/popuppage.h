// The pop-up's web page: it shows the content it was given and nothing else. A link activated in
// it is handed on (to the window's rules for what leaves the program); every other navigation away
// from the content is refused, so that nothing in the pop-up reaches the desktop or shows a site.
#pragma once

#include <QWebEnginePage>

class PopupPage : public QWebEnginePage
{
    Q_OBJECT
public:
    // contentScheme serves the content; its addresses, and about:blank, are the pop-up's own.
    PopupPage(QWebEngineProfile *profile, const QString &contentScheme, QObject *parent);

signals:
    void linkActivated(const QUrl &url);

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override;

private:
    QString contentScheme;
};
