// The notification pop-up: an always-on-top tool window near the lower right
// corner of the primary screen that shows page-supplied HTML and never takes
// the focus.
#pragma once

#include <QDialog>

class MainWindow;
class QWebEngineProfile;
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

    // Where showNotify() puts the pop-up for the given available area.
    static QPoint notifyPosition(const QRect &availableArea);

    MainWindow *mainWindow = nullptr;
    Ui_NotifyWindow *ui = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWebEngineProfile *profile = nullptr;
};
