// The find bar at the foot of the console window: the text to find in the page, the next and
// previous match, and how many there are. Escape closes it and clears the highlight.
#pragma once

#include <QFrame>

class QLabel;
class QLineEdit;
class QWebEngineFindTextResult;
class QWebEnginePage;

class FindBar : public QFrame
{
    Q_OBJECT
public:
    FindBar(QWebEnginePage *page, QWidget *parent);

public slots:
    // Shows the bar with its text selected, ready for typing.
    void open();
    void close();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void find(bool backward);
    void showResult(const QWebEngineFindTextResult &result);

    QWebEnginePage *page;
    QLineEdit *text;
    QLabel *count;
};
