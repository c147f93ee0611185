// The console window: one web view showing the service's console page, whose title it follows,
// and the exit prompt. Links that the page activates leave through linkActivated().
#pragma once

#include <QMainWindow>
#include <QPrinter>
#include <QString>
#include <QUrl>

class ConsolePage;
class QWebEngineProfile;
class QWebEngineView;
class Ui_MainWindow;
class Unreachable;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Points the console view at the address; the page loads in the event loop.
    void loadPage(const QString &address);

    ConsolePage *page() const { return consolePage; }
    QWebEngineView *view() const;

    // The directory of the console's disk cache.
    static QString cacheDirectory();

    // The printer that the print dialog sets up, kept for the run as browsers keep it.
    QPrinter *printer() { return &pagePrinter; }

public slots:
    // Shows the print dialog for the console page, and prints the page unless cancelled.
    void printPage();
    // Closes the window without the exit prompt, as the page's close command does.
    void closeWithoutAsking();

signals:
    // A link activated in the console, for the user's browser.
    void linkActivated(const QUrl &url);
    // The window is about to close, or to ask whether it may.
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void followTitle(const QString &title);

    Ui_MainWindow *ui = nullptr;
    QWebEngineProfile *profile = nullptr;
    ConsolePage *consolePage = nullptr;
    Unreachable *unreachable = nullptr;
    quint64 titleChanges = 0;
    bool askBeforeClosing = true;
    QPrinter pagePrinter;
    bool printing = false;
};
