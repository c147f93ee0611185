// The console window: its form, resizing, title, links, exit prompt, cache and
// surviving the end of its renderer.
#include "console/localstore.h"
#include "console/mainwindow.h"
#include "console/rendererguard.h"
#include "console/ui_mainwindow.h"
#include "httpserver.h"
#include "notify/notifywindow.h"
#include "testmain.h"
#include "webtest.h"

#include <QDesktopServices>
#include <QDirIterator>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>

#include <csignal>

using namespace testsupport;

class TestConsole : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void resizeFillsUpToLimit();
    void titleFollowsPage();
    void linkGoesToBrowserScriptNavigationStays();
    void exitPrompt_data();
    void exitPrompt();
    void cacheFillsOnDisk();
    void rendererEndsReloadUntilStopped();

private:
    QWebEnginePage *page() const { return window->ui->webView->page(); }

    HttpServer server;
    UrlRecorder recorder;
    MainWindow *window = nullptr;
    NotifyWindow *notify = nullptr;
};

void TestConsole::init()
{
    qputenv("BRINDLETON_CONSOLE_URL", server.url(QStringLiteral("/links")).toEncoded());
    window = new MainWindow;
    notify = new NotifyWindow;
    window->notifyWindow = notify;
    notify->mainWindow = window;
    recorder.install({QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto"),
                      QStringLiteral("ssh")});
}

void TestConsole::cleanup()
{
    recorder.uninstall();
    delete notify;
    window->removeEventFilter(window); // a Destroy event would end the test process
    delete window;
}

void TestConsole::resizeFillsUpToLimit()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCOMPARE(window->ui->webView->geometry(), QRect(0, 0, 555, 400));
    window->resize(800, 600);
    QTRY_COMPARE(window->ui->webView->geometry(), QRect(0, 0, 800, 600));
    window->resize(3000, 2200);
    QTRY_COMPARE(window->size(), QSize(3000, 2200));
    QCOMPARE(window->ui->webView->geometry(), QRect(0, 0, 2048, 2048));
}

void TestConsole::titleFollowsPage()
{
    server.setPage("/titled", "<html><head><title>Operator &amp; Co</title></head><body>x</body>");
    window->show();
    QVERIFY(load(page(), server.url(QStringLiteral("/titled"))));
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Operator & Co"));
    evaluate(page(), QStringLiteral("document.title = ''"));
    QTRY_COMPARE(window->windowTitle(), QString());
    evaluate(page(), QStringLiteral("document.title = 'Second'"));
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("Second"));
}

void TestConsole::linkGoesToBrowserScriptNavigationStays()
{
    server.setPage("/links", R"(<html><head><title>links</title><style>a{display:block;
        font-size:40px;margin:10px}</style></head><body>
        <a id="web" href="https://example.invalid/a%20b?q=1">web</a>
        <a id="other" href="ssh://example.invalid/x">other</a>
        <a id="same" href="/second">same site</a>
        <button id="scripted" style="font-size:40px"
            onclick="location.href='ssh://example.invalid/y'">go</button></body></html>)");
    server.setPage("/second", "<html><head><title>second</title></head><body>2</body></html>");
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(load(page(), server.url(QStringLiteral("/links"))));
    const QUrl pageUrl = page()->url();
    // Input reaches the page once it has been painted.
    QVERIFY(waitFor(page(), QStringLiteral("document.readyState === 'complete'")));
    QTest::qWait(300);

    LogCapture log;
    auto click = [this](const char *id) {
        const QVariantList box =
            evaluate(page(), QStringLiteral("(function(){const r=document.getElementById('%1')"
                                            ".getBoundingClientRect();return [r.x+5,r.y+5];})()")
                                 .arg(QLatin1String(id)))
                .toList();
        QWidget *target = window->ui->webView->focusProxy();
        QVERIFY(target && box.size() == 2);
        QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier,
                          QPoint(box[0].toInt(), box[1].toInt()));
    };

    click("web");
    QTRY_COMPARE(recorder.opened.size(), 1);
    QCOMPARE(recorder.opened[0], QUrl(QStringLiteral("https://example.invalid/a%20b?q=1")));
    QVERIFY(log.lines().contains(QStringLiteral("linkClicked")));
    // The URL is logged literally, percent signs included.
    QVERIFY(log.lines().contains(QStringLiteral("https://example.invalid/a%20b?q=1")));

    click("same"); // a link to the console's own site goes to the browser too
    QTRY_COMPARE(recorder.opened.size(), 2);
    QCOMPARE(recorder.opened[1], server.url(QStringLiteral("/second")));

    click("other"); // other schemes never reach the desktop, clicked or navigated to
    QTRY_VERIFY(log.lines().filter(QStringLiteral("Refused to open")).size() == 1);
    click("scripted"); // a script navigation after the user's click
    QTRY_COMPARE(log.lines().filter(QStringLiteral("Refused")).size(), 2);
    QCOMPARE(recorder.opened.size(), 2);

    QTest::qWait(300);
    QCOMPARE(page()->url(), pageUrl);
    // Refused navigations start no new document.
    QVERIFY2(log.lines().count(QStringLiteral("handle_javaScriptWindowObjectCleared")) == 0,
             qPrintable(log.lines().join(u'\n')));
    QCOMPARE(evaluate(page(), QStringLiteral("document.title")).toString(),
             QStringLiteral("links"));

    // The page's own script still navigates in the view.
    QSignalSpy loaded(page(), &QWebEnginePage::loadFinished);
    evaluate(page(), QStringLiteral("location.href = '/second'; 1"));
    QTRY_COMPARE(page()->url(), server.url(QStringLiteral("/second")));
    QTRY_COMPARE(window->windowTitle(), QStringLiteral("second"));
    QCOMPARE(recorder.opened.size(), 2);
}

void TestConsole::exitPrompt_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("stays");
    QTest::newRow("escape") << QStringLiteral("escape") << true;
    QTest::newRow("return (Cancel is the default)") << QStringLiteral("return") << true;
    QTest::newRow("cancel button") << QStringLiteral("cancel") << true;
    QTest::newRow("ok button") << QStringLiteral("ok") << false;
    QTest::newRow("page's close command: no prompt") << QStringLiteral("confirmed") << false;
}

void TestConsole::exitPrompt()
{
    QFETCH(QString, answer);
    QFETCH(bool, stays);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    notify->showNotify();
    QTRY_VERIFY(notify->isVisible());

    if (answer == u"confirmed")
        window->closeConfirmed = 1;
    bool checked = false;
    QObject scope; // the answer is dropped with it when no prompt comes
    QTimer::singleShot(0, &scope, [&] {
        QMessageBox *box = nullptr;
        QTRY_VERIFY((box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())));
        QCOMPARE(box->text(), QStringLiteral("Exit brindleton console?"));
        QCOMPARE(box->windowTitle(), QStringLiteral("brindleton"));
        QCOMPARE(box->icon(), QMessageBox::Question);
        QCOMPARE(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Cancel));
        QCOMPARE(box->parentWidget(), window);
        QVERIFY(!notify->isVisible()); // closed before the question is asked
        checked = true;
        if (answer == u"escape")
            QTest::keyClick(box, Qt::Key_Escape);
        else if (answer == u"return")
            QTest::keyClick(box, Qt::Key_Return);
        else if (answer == u"cancel")
            box->button(QMessageBox::Cancel)->click();
        else
            box->button(QMessageBox::Ok)->click();
    });
    const bool closed = window->close();
    QCOMPARE(checked, answer != u"confirmed");
    QCOMPARE(closed, !stays);
    QCOMPARE(window->isVisible(), stays);
    QVERIFY(!notify->isVisible());
}

void TestConsole::cacheFillsOnDisk()
{
    const QString cacheDir = MainWindow::cacheDirectory();
    QCOMPARE(cacheDir, QDir::toNativeSeparators(
                           QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                           QStringLiteral("/brncache")));
    QVERIFY(cacheDir.contains(QStringLiteral("/brindleton/")));

    const QByteArray script(64 * 1024, 'x');
    server.setPage("/cached.js", "var filler = '" + script + "';",
                   "Cache-Control: max-age=3600\r\n", "text/javascript");
    server.setPage("/cachepage",
                   "<html><head><title>c</title><script src=\"/cached.js\"></script></head></html>",
                   "Cache-Control: max-age=3600\r\n");
    window->show();
    QVERIFY(load(page(), server.url(QStringLiteral("/cachepage"))));
    auto cachedBytes = [&] {
        qint64 total = 0;
        QDirIterator it(cacheDir, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            total += it.fileInfo().size();
        }
        return total;
    };
    QTRY_VERIFY_WITH_TIMEOUT(cachedBytes() > script.size(), 20000);

    // A second load is answered from the cache: the script is not asked for again.
    const int scriptRequests = server.targets.count("/cached.js");
    QVERIFY(load(page(), server.url(QStringLiteral("/cachepage"))));
    QCOMPARE(server.targets.count("/cached.js"), scriptRequests);
}

void TestConsole::rendererEndsReloadUntilStopped()
{
    server.setPage("/console", "<html><head><title>console</title></head><body>c</body></html>");
    const QUrl console = server.url(QStringLiteral("/console"));
    window->show();
    QVERIFY(load(page(), console));
    auto command = [this](const char *text) {
        return evaluate(page(),
                        QStringLiteral("webkitExternal.command('%1')").arg(QLatin1String(text)));
    };
    command("setlocaldata:renderer:kept");
    QTRY_COMPARE(localstore::read(QStringLiteral("renderer")), QStringLiteral("kept"));

    LogCapture log;
    QSignalSpy loads(page(), &QWebEnginePage::loadFinished);
    const QWidget *stopped = window->findChild<RendererGuard *>()->stopMessage();
    auto killRenderer = [&] {
        const qint64 pid = page()->renderProcessPid();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, SIGKILL), 0);
    };
    const QString reloading = QStringLiteral("Console renderer ended (killed, code 9); reloading");
    for (int end = 1; end <= 2; ++end) {
        killRenderer();
        QTRY_COMPARE_WITH_TIMEOUT(loads.size(), end, 20000);
        QVERIFY(loads.constLast().value(0).toBool());
        QCOMPARE(page()->url(), console);
        QCOMPARE(log.lines().count(reloading), end);
        // The reloaded page has the bridge, and the store kept what was written.
        QCOMPARE(command("getlocaldata:renderer").toString(), QStringLiteral("kept"));
        QVERIFY(!stopped->isVisible());
    }

    killRenderer(); // the third end within a minute
    QTRY_VERIFY(stopped->isVisible());
    QVERIFY(log.lines().contains(QStringLiteral(
        "Console renderer ended (killed, code 9); stopped after 3 ends within a minute")));
    QCOMPARE(stopped->geometry(), window->ui->webView->rect());
    QVERIFY(stopped->findChild<QLabel *>()->text().contains(QStringLiteral("stopped responding")));

    stopped->findChild<QPushButton *>()->click();
    QVERIFY(!stopped->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(loads.size(), 3, 20000); // no load but the one asked for
    QCOMPARE(command("getlocaldata:renderer").toString(), QStringLiteral("kept"));
    // Reloading by hand starts the count afresh.
    killRenderer();
    QTRY_COMPARE_WITH_TIMEOUT(loads.size(), 4, 20000);
    QCOMPARE(log.lines().count(reloading), 3);
    QVERIFY(!stopped->isVisible());
}

BRINDLETON_GUI_TEST_MAIN(TestConsole)
#include "tst_console.moc"
