#include "console/mainwindow.h"

#include "console/bridge.h"
#include "console/commandtext.h"
#include "console/consolepage.h"
#include "console/consoleurl.h"
#include "console/desktoplink.h"
#include "console/localstore.h"
#include "console/rendererguard.h"
#include "console/ui_mainwindow.h"
#include "notify/notifywindow.h"
#include "notify/webview.h"
#include "platform/platform.h"
#include "services/dnsthread.h"
#include "services/scriptcall.h"
#include "services/sound/soundthread.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDir>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QStandardPaths>
#include <QWebEngineLoadingInfo>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

Q_LOGGING_CATEGORY(lcConsole, "brindleton.console")

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent, Qt::WindowFlags())
{
    ui = new Ui_MainWindow;
    ui->setupUi(this);

    ui->webView->installEventFilter(this);
    installEventFilter(this);
    prepareForWebView(this);
    opener.setMaxThreadCount(1);
    opener.setExpiryTimeout(1000);

    // A named profile keeps its data on disk; the HTTP cache goes to "brncache"
    // in the application's cache location.
    profile = new QWebEngineProfile(QStringLiteral("brindleton"), this);
    profile->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    profile->setCachePath(cacheDirectory());
    // Cookies live in memory for the run, as they always have.
    profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);

    const QString origin = consoleurl::originOf(QUrl(consoleurl::consoleUrl()));
    page = new ConsolePage(profile, origin, ui->webView);
    store = new localstore::Store(this);
    bridge = new bridge::Bridge(
        page, origin, store, [this](const QString &text) { return command(text); },
        [this](const QUrl &url) { page->noteLinkActivation(url); }, this);
    ui->webView->setPage(page);
    page->watchInput(ui->webView);

    QWebEngineSettings *settings = page->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, true);
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);

    new RendererGuard(ui->webView, origin, this);

    connect(page, &QWebEnginePage::titleChanged, this, &MainWindow::followTitle);
    connect(page, &ConsolePage::linkClicked, this, &MainWindow::handle_linkClicked);
    connect(page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &info) {
        if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus &&
            ConsolePage::isShownInView(info.url()) && !page->takeRefusedLoad(info.url()))
            handle_javaScriptWindowObjectCleared();
    });
}

void MainWindow::setNotifyWindow(NotifyWindow *window)
{
    notifyWindow = window;
    connect(window, &NotifyWindow::linkActivated, this, &MainWindow::handle_linkClicked);
}

MainWindow::~MainWindow()
{
    // The page must go before its profile.
    delete ui->webView;
    ui->webView = nullptr;
    delete ui;
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

void MainWindow::handle_titleChanged(const QString &title)
{
    setWindowTitle(title);
}

void MainWindow::followTitle(const QString &title)
{
    // The engine reports the page's address as its title when the document
    // has none or an empty one; the window shows the document's own title.
    const quint64 change = ++titleChanges;
    if (title.isEmpty() || !page->url().toString().endsWith(title)) {
        handle_titleChanged(title);
        return;
    }
    page->runJavaScript(QStringLiteral("document.title"), QWebEngineScript::ApplicationWorld,
                        [this, change, title](const QVariant &documentTitle) {
                            if (change != titleChanges)
                                return; // a newer title has arrived meanwhile
                            handle_titleChanged(documentTitle.isValid() ? documentTitle.toString()
                                                                        : title);
                        });
}

void MainWindow::handle_linkClicked(const QUrl &url)
{
    qDebug().noquote() << "linkClicked";
    qDebug().noquote() << url.toString();
    openExternally(url);
}

void MainWindow::openExternally(const QUrl &url)
{
    if (!desktoplink::isOpenable(url)) {
        qDebug().noquote() << "Refused to open" << url.toString();
        return;
    }
    const QUrl cleaned = desktoplink::withoutAttachments(url);
    if (cleaned != url)
        qDebug().noquote() << "Removed the file attachments from" << cleaned.toString();
    // A new process makes the thread that starts it wait until it runs, which on a busy machine
    // takes milliseconds.
    opener.start([cleaned] {
        if (!platform::openOnDesktop(cleaned))
            qCWarning(lcConsole).noquote() << "The desktop could not open" << cleaned.toString();
    });
}

void MainWindow::handle_javaScriptWindowObjectCleared()
{
    qDebug().noquote() << "handle_javaScriptWindowObjectCleared";
}

void MainWindow::handle_querydns(QString address, QString hostName)
{
    qDebug().noquote() << "handle_querydns";
    bridge->callPage(scriptcall::handleQueryDns(address, hostName));
}

QString MainWindow::command(const QString &text)
{
    qDebug().noquote() << text;

    const CommandText command = CommandText::split(text);
    const QString &name = command.name;
    const QString &argument = command.argument;

    if (name == u"getlocaldata")
        return store->value(argument);

    if (name == u"setlocaldata") {
        QString key, value;
        if (splitKeyValue(argument, &key, &value))
            store->setValue(key, value);
    } else if (name == u"setnotifytitle") {
        notifyWindow->setWindowTitle(argument);
    } else if (name == u"setnotifyhtml") {
        notifyWindow->setContent(argument, ui->webView->url());
    } else if (name == u"maximize") {
        setWindowState(Qt::WindowMaximized);
    } else if (name == u"open") {
        openExternally(QUrl(argument));
    } else if (name == u"close") {
        closeConfirmed = 1;
        close();
    } else if (name == u"shownotify") {
        notifyWindow->showNotify();
    } else if (name == u"hidenotify") {
        notifyWindow->setVisible(false);
    } else if (name == u"querydns") {
        auto *worker = new DnsThread;
        worker->mainWindow = this;
        worker->address = argument;
        connect(worker, &DnsThread::querydns, this, &MainWindow::handle_querydns);
        DnsThread::schedule(worker);
    } else if (name == u"playsound") {
        auto *sound = new SoundThread;
        sound->url = argument;
        sound->start();
    }
    return fixedResult(name);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == this) {
        switch (event->type()) {
        case QEvent::Close:
            if (notifyWindow)
                notifyWindow->close();
            break;
        case QEvent::Resize:
            ui->webView->setGeometry(rect());
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (closeConfirmed == 1)
        return;
    QMessageBox prompt(QMessageBox::Question, QStringLiteral("brindleton"),
                       QStringLiteral("Exit brindleton console?"),
                       QMessageBox::Ok | QMessageBox::Cancel, this);
    prompt.setDefaultButton(QMessageBox::Cancel);
    prompt.setEscapeButton(QMessageBox::Cancel);
    if (prompt.exec() == QMessageBox::Cancel)
        event->ignore();
}
