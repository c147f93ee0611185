// The console window: its form, resizing, title, links, exit prompt, cache and
// surviving the end of its renderer.
#include "console/localstore.h"
#include "console/mainwindow.h"
#include "console/rendererguard.h"
#include "console/ui_mainwindow.h"
#include "httpserver.h"
#include "notify/notifywindow.h"
#include "services/scriptcall.h"
#include "testmain.h"
#include "webtest.h"

#include <QDesktopServices>
#include <QDirIterator>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUrlQuery>

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
    void links_data();
    void links();
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

void TestConsole::links_data()
{
    // Where the link is, how it is activated, its target, and where it ends: "browser" (the
    // user's browser, the page stays), "refused" (nowhere, logged) or "view" (a script's own
    // navigation, which stays in the view).
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("outcome");
    const auto row = [](const char *frame, const char *how, const char *target) {
        const bool refused = qstrcmp(frame, "foreign frame") == 0 && qstrcmp(how, "script") == 0;
        QTest::addRow("%s, %s, %s", frame, how, target)
            << QString::fromLatin1(frame) << QString::fromLatin1(how) << QString::fromLatin1(target)
            << QString::fromLatin1(refused ? "refused" : "browser");
    };
    for (const char *target : {"", "_blank", "_top"}) {
        for (const char *how : {"user", "script"}) {
            row("main", how, target);
            row("own frame", how, target);
            row("foreign frame", how, target);
        }
    }
    row("main", "enter", "");
    row("main", "enter", "_blank");
    row("main", "middle", "");
    row("main", "user", "named");
    QTest::newRow("foreign frame's script navigates the top") << "foreign frame"
                                                              << "top" << QString() << "refused";
    QTest::newRow("script sets location") << "main"
                                          << "location" << QString() << "view";
    QTest::newRow("href # with onclick") << "main"
                                         << "hash" << QString() << "view";
    QTest::newRow("other scheme") << "main"
                                  << "ssh" << QString() << "refused";
}

void TestConsole::links()
{
    QFETCH(QString, frame);
    QFETCH(QString, how);
    QFETCH(QString, target);
    QFETCH(QString, outcome);
    // A link that fills the top left corner of the page, or of a frame there; when ready, the
    // document reports it after its first paint.
    server.setPage("/links", R"(<html><head><title>links</title></head><body style="margin:0">
        <script>function link(href, target, onclick) {
          const a = document.createElement('a');
          a.href = href; a.textContent = 'link'; a.onclick = onclick;
          if (target) a.target = target;
          a.style = 'display:block;position:absolute;left:0;top:0;width:300px;height:200px';
          document.body.appendChild(a);
          requestAnimationFrame(() => requestAnimationFrame(() => top.postMessage('ready', '*')));
          addEventListener('mousedown', () => top.postMessage('pressed', '*'), true);
          return a;
        }
        addEventListener('message', e => { window[e.data] = true; });
        const p = new URLSearchParams(location.search);
        if (p.has('href')) {
          const a = link(p.get('href'), p.get('target'));
          if (p.get('how') === 'script') addEventListener('message', () => a.click());
          if (p.get('how') === 'top') addEventListener('message', () => top.location = a.href);
        }</script></body></html>)");
    server.setPage("/second", "<html><head><title>second</title></head><body>2</body></html>");
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(load(page(), server.url(QStringLiteral("/links"))));
    const QString href = how == u"ssh" ? QStringLiteral("ssh://example.invalid/x")
                                       : QStringLiteral("https://example.invalid/%1 x?q=1")
                                             .arg(QString::fromLatin1(QTest::currentDataTag())
                                                      .remove(QRegularExpression(u"\\W"_qs)));
    LogCapture log;
    if (frame == u"main") {
        const QString onclick = how == u"hash"
                                    ? QStringLiteral("() => { location.href = '/second'; }")
                                    : QStringLiteral("null");
        evaluate(page(), QStringLiteral("window.a = link(%1, %2, %3); 1")
                             .arg(scriptcall::stringLiteral(how == u"hash" ? u"#"_qs : href),
                                  scriptcall::stringLiteral(target), onclick));
    } else {
        const QString host = frame == u"own frame" ? u"127.0.0.1"_qs : u"localhost"_qs;
        QUrl source(QStringLiteral("http://%1:%2/links").arg(host).arg(server.port()));
        source.setQuery(QUrlQuery({{u"href"_qs, href}, {u"target"_qs, target}, {u"how"_qs, how}}));
        evaluate(page(), QStringLiteral("const f = document.createElement('iframe'); f.name = "
                                        "'named'; f.src = %1; f.style = 'position:absolute;"
                                        "left:0;top:0;width:300px;height:200px;border:0';"
                                        "document.body.appendChild(f); 1")
                             .arg(scriptcall::stringLiteral(source.toString(QUrl::FullyEncoded))));
    }
    QVERIFY(waitFor(page(), QStringLiteral("window.ready === true")));

    QWidget *view = window->ui->webView->focusProxy();
    if (how == u"user" || how == u"ssh" || how == u"hash" || how == u"middle" || how == u"top") {
        // A frame takes input once the engine knows where it lies: press again until it tells.
        for (int attempt = 0;
             attempt < 20 && !evaluate(page(), u"window.pressed === true"_qs).toBool(); ++attempt) {
            QTest::mouseMove(view, QPoint(50, 50));
            // The user's activation for the frame's script: a press that follows no link.
            const Qt::MouseButton button = how == u"middle" ? Qt::MiddleButton
                                           : how == u"top"  ? Qt::RightButton
                                                            : Qt::LeftButton;
            QTest::mouseClick(view, button, Qt::NoModifier, QPoint(50, 50));
            waitFor(page(), u"window.pressed === true"_qs, 500);
        }
        if (how == u"top")
            evaluate(page(), QStringLiteral("frames[0].postMessage('go', '*'); 1"));
    } else if (how == u"enter") {
        evaluate(page(), QStringLiteral("a.focus(); 1"));
        QTest::keyClick(view, Qt::Key_Return);
    } else if (how == u"location") {
        evaluate(page(), QStringLiteral("location.href = '/second'; 1"));
    } else if (frame == u"main") {
        evaluate(page(), QStringLiteral("a.click(); 1"));
    } else {
        evaluate(page(), QStringLiteral("frames[0].postMessage('go', '*'); 1"));
    }

    if (outcome == u"browser") {
        QTRY_COMPARE(recorder.opened, QList<QUrl>({QUrl(href)}));
        // Logged literally, as the address reads.
        QCOMPARE(log.lines().mid(log.lines().indexOf(u"linkClicked"_qs), 2),
                 QStringList({u"linkClicked"_qs, QUrl(href).toString()}));
    } else if (outcome == u"refused") {
        const QString line =
            how == u"ssh" ? u"Refused to open "_qs + href
            : how == u"top"
                ? u"Refused navigation of the console by a frame of another origin: "_qs +
                      QUrl(href).toString()
                : u"Refused link from a frame of another origin: "_qs + QUrl(href).toString();
        QTRY_VERIFY2(log.lines().contains(line), qPrintable(log.lines().join(u'\n')));
    } else {
        QTRY_COMPARE(page()->url(), server.url(QStringLiteral("/second")));
    }
    // Nothing but the script's own navigation leaves the page, and nothing else is opened.
    if (outcome != u"view") {
        QVERIFY(waitFor(page(), QStringLiteral("window.ready === true")));
        QCOMPARE(page()->url(), server.url(QStringLiteral("/links")));
    }
    QCOMPARE(recorder.opened.size(), outcome == u"browser" ? 1 : 0);
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
    // The reloaded page has the bridge, and the store kept what was written.
    auto answers = [&] {
        QTRY_COMPARE_WITH_TIMEOUT(command("getlocaldata:renderer").toString(), u"kept"_qs, 20000);
        QCOMPARE(page()->url(), console);
    };
    const QWidget *stopped = window->findChild<RendererGuard *>()->stopMessage();
    auto killRenderer = [&] {
        const qint64 pid = page()->renderProcessPid();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, SIGKILL), 0);
    };
    const QString reloading = QStringLiteral("Console renderer ended (killed, code 9); reloading");
    for (int end = 1; end <= 2; ++end) {
        killRenderer();
        QTRY_COMPARE(log.lines().count(reloading), end);
        answers();
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
    answers();
    // Reloading by hand starts the count afresh.
    killRenderer();
    QTRY_COMPARE(log.lines().count(reloading), 3);
    answers();
    QVERIFY(!stopped->isVisible());
}

BRINDLETON_GUI_TEST_MAIN(TestConsole)
#include "tst_console.moc"
