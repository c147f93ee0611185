// The notification pop-up: an always-on-top tool window near the lower right
// corner of the primary screen that shows page-supplied HTML and never takes
// the focus.
#pragma once

#include <QDialog>
#include <QUrl>

class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineUrlSchemeHandler;
class Ui_NotifyWindow;

class NotifyWindow : public QDialog
{
    Q_OBJECT
public:
    explicit NotifyWindow(QWidget *parent = nullptr);
    ~NotifyWindow() override;

    // Places the pop-up in the lower right corner of the primary screen's
    // available area and shows it without activating it.
    void showNotify();

    // Replaces the pop-up's content; relative references resolve against baseUrl.
    void setContent(const QString &html, const QUrl &baseUrl);

    // The pop-up's page, created on first use in a profile of its own, and made
    // anew after its renderer ends (at once while the pop-up is shown, else on its
    // next use); it shows "about:blank" until content is set.
    QWebEnginePage *page();

    // Registers the scheme that serves the pop-up's content; call before the
    // application object exists.
    static void registerScheme();

    // Where showNotify() puts the pop-up for the given available area.
    static QPoint notifyPosition(const QRect &availableArea);

signals:
    // A link activated in the pop-up's content, which the pop-up does not follow itself.
    void linkActivated(const QUrl &url);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWebEnginePage *ensurePage(bool loadBlank);
    void showContent(QWebEnginePage *page);

    Ui_NotifyWindow *ui = nullptr;
    QWebEngineProfile *profile = nullptr;
    // Serves the last content set, also to a page made anew after its renderer ended.
    QWebEngineUrlSchemeHandler *content = nullptr;
    bool hasContent = false;
    bool rendererEnded = false;
};
