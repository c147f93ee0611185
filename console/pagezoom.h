// The console page's zoom: Ctrl+plus, Ctrl+minus, Ctrl+0 and Ctrl with the mouse wheel, within
// the engine's range, kept across runs in the program's own settings (brindleton/window.ini
// in the user's configuration folder), never in the page's store.
#pragma once

#include <QObject>

class QWebEngineView;

class PageZoom : public QObject
{
    Q_OBJECT
public:
    // Adds the shortcuts to the view's window and sets the zoom kept from the last run.
    explicit PageZoom(QWebEngineView *view);

    // One of the usual zoom levels further: in when steps > 0, out when < 0.
    void step(int steps);
    void reset();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void set(qreal factor);

    QWebEngineView *view;
    qreal factor = 1.0;
    int wheelDelta = 0;
};
