#include "console/mainwindow.h"

#include "console/consolepage.h"
#include "console/consoleurl.h"
#include "console/downloadbar.h"
#include "console/downloads.h"
#include "console/findbar.h"
#include "console/pagezoom.h"
#include "console/rendererguard.h"
#include "console/signindialog.h"
#include "console/ui_mainwindow.h"
#include "console/unreachable.h"
#include "notify/webview.h"

#include <QAuthenticator>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QPrintDialog>
#include <QShortcut>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent, Qt::WindowFlags())
{
    ui = new Ui_MainWindow;
    ui->setupUi(this);

    prepareForWebView(this);

    // A named profile keeps its data on disk; the HTTP cache goes to "brncache"
    // in the application's cache location.
    profile = new QWebEngineProfile(QStringLiteral("brindleton"), this);
    profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    profile->setCachePath(cacheDirectory());
    // Cookies live in memory for the run, as they always have.
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);

    const QString origin = consoleurl::originOf(QUrl(consoleurl::consoleUrl()));
    consolePage = new ConsolePage(profile, origin, ui->webView);
    ui->webView->setPage(consolePage);
    consolePage->watchInput(ui->webView);

    QWebEngineSettings *settings = consolePage->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, true);

    new RendererGuard(ui->webView, origin, this);
    unreachable = new Unreachable(ui->webView, this);
    connect(unreachable, &Unreachable::shownChanged, this,
            [this] { followTitle(consolePage->title()); });

    // The view above the find bar and the download bar, each shown only while in use.
    auto *findBar = new FindBar(consolePage, ui->centralWidget);
    auto *downloadBar = new DownloadBar(ui->centralWidget);
    auto *column = new QVBoxLayout(ui->centralWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(ui->webView, 1);
    column->addWidget(findBar);
    column->addWidget(downloadBar);
    connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, findBar,
            &FindBar::open);
    auto *downloads = new Downloads(profile, consolePage, this);
    connect(downloads, &Downloads::started, downloadBar, &DownloadBar::showStarted);
    connect(downloads, &Downloads::progress, downloadBar, &DownloadBar::showProgress);
    connect(downloads, &Downloads::saved, downloadBar, &DownloadBar::showSaved);
    connect(downloads, &Downloads::failed, downloadBar, &DownloadBar::showFailed);
    new PageZoom(ui->webView);

    connect(new QShortcut(QKeySequence::Print, this), &QShortcut::activated, this,
            &MainWindow::printPage);
    connect(consolePage, &QWebEnginePage::printRequested, this, &MainWindow::printPage);
    connect(ui->webView, &QWebEngineView::printFinished, this, [this](bool success) {
        printing = false;
        if (!success)
            qDebug().noquote() << "Printing the console page failed";
    });
    connect(consolePage, &ConsolePage::signInRequested, this,
            [this](const QUrl &url, const QString &proxyHost, QAuthenticator *authenticator) {
                SignInDialog::ask(this, url.host(), proxyHost, authenticator);
            });
    connect(consolePage, &ConsolePage::fullScreenWanted, this,
            [this](bool on) { setWindowState(windowState().setFlag(Qt::WindowFullScreen, on)); });

    connect(consolePage, &QWebEnginePage::titleChanged, this, &MainWindow::followTitle);
    connect(consolePage, &ConsolePage::linkClicked, this, &MainWindow::linkActivated);
    // Each new document of the main frame starts with a script environment of its own.
    connect(consolePage, &QWebEnginePage::loadingChanged, this,
            [](const QWebEngineLoadingInfo &info) {
                if (info.status() == QWebEngineLoadingInfo::LoadSucceededStatus)
                    qDebug().noquote() << "handle_javaScriptWindowObjectCleared";
            });
}

MainWindow::~MainWindow()
{
    // The page must go before its profile.
    delete ui->webView;
    ui->webView = nullptr;
    delete ui;
}

QWebEngineView *MainWindow::view() const
{
    return ui->webView;
}

QString MainWindow::cacheDirectory()
{
    return QDir::toNativeSeparators(
        QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + u'/' +
        QStringLiteral("brncache"));
}

void MainWindow::loadPage(const QString &address)
{
    ui->webView->setUrl(QUrl(address));
}

void MainWindow::followTitle(const QString &title)
{
    // The engine reports the page's address as its title when the document
    // has none or an empty one; the window shows the document's own title.
    const quint64 change = ++titleChanges;
    if (unreachable->isShown()) { // the message over the page has a title of its own
        setWindowTitle(QStringLiteral("Console unreachable - brindleton"));
        return;
    }
    if (title.isEmpty() || !consolePage->url().toString().endsWith(title)) {
        setWindowTitle(title);
        return;
    }
    consolePage->runJavaScript(QStringLiteral("document.title"), QWebEngineScript::ApplicationWorld,
                               [this, change, title](const QVariant &documentTitle) {
                                   if (change != titleChanges)
                                       return; // a newer title has arrived meanwhile
                                   setWindowTitle(documentTitle.isValid() ? documentTitle.toString()
                                                                          : title);
                               });
}

void MainWindow::closeWithoutAsking()
{
    askBeforeClosing = false;
    close();
}

void MainWindow::printPage()
{
    if (printing)
        return; // the engine prints one document at a time
    QPrintDialog dialog(&pagePrinter, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    printing = true;
    ui->webView->print(&pagePrinter);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    emit closing();
    if (!askBeforeClosing)
        return;
    QMessageBox prompt(QMessageBox::Question, QStringLiteral("brindleton"),
                       QStringLiteral("Exit brindleton console?"),
                       QMessageBox::Ok | QMessageBox::Cancel, this);
    prompt.setDefaultButton(QMessageBox::Cancel);
    prompt.setEscapeButton(QMessageBox::Cancel);
    if (prompt.exec() == QMessageBox::Cancel)
        event->ignore();
}
