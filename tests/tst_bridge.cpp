// The script bridge as the console page sees it: results, effects, the log,
// navigation, who may use it, the store across runs and look-up call-backs.
#include "console/localstore.h"
#include "console/mainwindow.h"
#include "console/ui_mainwindow.h"
#include "httpserver.h"
#include "notify/notifywindow.h"
#include "notify/ui_notifywindow.h"
#include "platform/platform.h"
#include "services/scriptcall.h"
#include "testmain.h"
#include "webtest.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSettings>

#include <atomic>

using namespace testsupport;

namespace {

// Names that a test resolver hands out; a look-up of 10.0.0.9 waits until the
// test releases it.
const QString trickyName =
    QStringLiteral("it's \"odd\"\\ host\nname\u2028 \u00e9\u4e2d\U0001F600');x('");
QSemaphore heldLookup;

QString testResolver(quint32 address)
{
    if (address == platform::ipv4FromText("127.0.0.1"))
        return trickyName;
    if (address == platform::ipv4FromText("10.0.0.9")) {
        heldLookup.acquire();
        return QStringLiteral("late.example");
    }
    return QString();
}

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void presentBeforePageScriptsAndFrozen();
    void resultsAsThePageSeesThem();
    void effectsAndLog();
    void largeNotifyHtml();
    void survivesNavigation();
    void refusedToOtherOrigins();
    void strangersCannotReachTheShell();
    void closeSkipsPrompt();
    void storeAcrossRuns();
    void lookupResultsReachThePage();
    void nothingLostWhenThePageLeaves();
    void otherInstancesWritesArrive();

private:
    QWebEnginePage *page() const { return window->ui->webView->page(); }
    QString call(const QString &text, QWebEnginePage *in = nullptr);

    HttpServer server;
    UrlRecorder recorder;
    MainWindow *window = nullptr;
    NotifyWindow *notify = nullptr;
};

void TestBridge::initTestCase()
{
    server.setPage("/console", R"(<html><head><title>console</title><script>
        window.early = typeof webkitExternal;
        window.lookups = [];
        function HandleQueryDns(address, name) { lookups.push([address, name]); }
        </script></head><body>console</body></html>)");
    server.setPage("/second", R"(<html><head><title>second</title><script>
        window.early = typeof webkitExternal;
        window.lookups = [];
        function HandleQueryDns(address, name) { lookups.push([address, name]); }
        </script></head><body>second</body></html>)");
    server.setPage("/logo.png",
                   QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR4"
                                          "2mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg=="),
                   QByteArray(), "image/png");
    qputenv("BRINDLETON_CONSOLE_URL", server.url(QStringLiteral("/console")).toEncoded());
    platform::setReverseResolver(&testResolver);
}

void TestBridge::init()
{
    window = new MainWindow(nullptr);
    notify = new NotifyWindow;
    window->notifyWindow = notify;
    notify->mainWindow = window;
    recorder.install({QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto"),
                      QStringLiteral("a")});
    window->show();
    QVERIFY(load(page(), server.url(QStringLiteral("/console"))));
}

void TestBridge::cleanup()
{
    recorder.uninstall();
    delete notify;
    window->removeEventFilter(window);
    delete window;
}

// What the page's script receives, as JSON: null or a quoted string.
QString TestBridge::call(const QString &text, QWebEnginePage *in)
{
    const QString literal = QString::fromUtf8(
        QJsonDocument::fromVariant(QVariantList{text}).toJson(QJsonDocument::Compact));
    return evaluate(in ? in : page(),
                    QStringLiteral("JSON.stringify(webkitExternal.command(%1[0]))").arg(literal))
        .toString();
}

void TestBridge::presentBeforePageScriptsAndFrozen()
{
    QCOMPARE(evaluate(page(), QStringLiteral("early")).toString(), QStringLiteral("object"));
    evaluate(page(), QStringLiteral("try { webkitExternal = null; } catch (e) {}"
                                    "try { webkitExternal.command = () => 'forged'; } catch (e) {}"
                                    "try { delete window.webkitExternal; } catch (e) {} 1"));
    QVERIFY(evaluate(page(), QStringLiteral("Object.isFrozen(webkitExternal)")).toBool());
    QCOMPARE(call(QStringLiteral("getlocaldata:never-set")), QStringLiteral("null"));
}

void TestBridge::resultsAsThePageSeesThem()
{
    const QList<QPair<QString, QString>> expected = {
        {QStringLiteral("getlocaldata:absent-key"), QStringLiteral("null")},
        {QStringLiteral("setlocaldata:colour"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:colour"), QStringLiteral("null")}, // nothing stored
        {QStringLiteral("setlocaldata:colour:"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:colour"), QStringLiteral("\"\"")}, // empty, not null
        {QStringLiteral("setlocaldata:k:a:b"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:k"), QStringLiteral("\"a:b\"")},
        {QStringLiteral("setlocaldata:k"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:k"), QStringLiteral("\"a:b\"")}, // left in place
        {QStringLiteral("setlocaldata:a/b:slash"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:a//b"), QStringLiteral("null")}, // keys never collide
        {QStringLiteral("getlocaldata:a/b"), QStringLiteral("\"slash\"")},
        {QStringLiteral("setlocaldata::empty key"), QStringLiteral("null")},
        {QStringLiteral("getlocaldata"), QStringLiteral("\"empty key\"")},
        {QStringLiteral("setlocaldata:u:\u00e9\u4e2d\U0001F600 \"%s\""), QStringLiteral("null")},
        {QStringLiteral("getlocaldata:u"), QStringLiteral("\"\u00e9\u4e2d\U0001F600 \\\"%s\\\"\"")},
        {QStringLiteral("playsound:"), QStringLiteral("\"OK\"")},
        {QStringLiteral("PLAYSOUND:x"), QStringLiteral("null")},
        {QStringLiteral("no-such-command:x"), QStringLiteral("null")},
        {QString(), QStringLiteral("null")},
        {QStringLiteral("hidenotify"), QStringLiteral("null")},
    };
    for (const auto &[text, result] : expected)
        QCOMPARE(call(text), result);
}

void TestBridge::effectsAndLog()
{
    LogCapture log;
    // Not in the vocabulary: case and a leading blank matter.
    call(QStringLiteral("MAXIMIZE"));
    call(QStringLiteral(" maximize"));
    QTest::qWait(100);
    QVERIFY(!window->windowState().testFlag(Qt::WindowMaximized));
    call(QStringLiteral("maximize"));
    QTRY_VERIFY(window->windowState().testFlag(Qt::WindowMaximized));

    call(QStringLiteral("setnotifytitle:Alert %s %d"));
    QCOMPARE(notify->windowTitle(), QStringLiteral("Alert %s %d"));
    call(QStringLiteral("setnotifytitle:"));
    QCOMPARE(notify->windowTitle(), QString());

    const int imageRequests = server.targets.count("/logo.png");
    call(QStringLiteral("setnotifyhtml:<p id=t>New call</p><img id=i src='logo.png'>"));
    QVERIFY(!notify->isVisible()); // content changes without showing
    QWebEnginePage *popup = notify->page();
    QVERIFY(waitFor(popup, QStringLiteral("document.getElementById('i') !== null && "
                                          "document.getElementById('i').complete")));
    QCOMPARE(evaluate(popup, QStringLiteral("document.baseURI")).toString(),
             server.url(QStringLiteral("/console")).toString());
    QTRY_COMPARE(server.targets.count("/logo.png"), imageRequests + 1);

    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    call(QStringLiteral("shownotify"));
    QTRY_VERIFY(notify->isVisible());
    QCOMPARE(QApplication::activeWindow(), window);
    call(QStringLiteral("hidenotify:"));
    QVERIFY(!notify->isVisible());

    call(QStringLiteral("open:https://example.invalid/a:b"));
    call(QStringLiteral("open:a:b:c")); // only the first colon splits; scheme "a" is refused
    call(QStringLiteral("open:file:///etc/passwd"));
    QTRY_COMPARE(recorder.opened.size(), 1);
    QCOMPARE(recorder.opened[0], QUrl(QStringLiteral("https://example.invalid/a:b")));
    QCOMPARE(log.lines().filter(QStringLiteral("Refused to open")).size(), 2);
    QVERIFY(log.lines()
                .filter(QStringLiteral("Refused to open"))
                .constFirst()
                .contains(QStringLiteral("a:b:c")));

    // Every command text is logged literally, in the order sent.
    const QStringList sent = {
        QStringLiteral("MAXIMIZE"), QStringLiteral(" maximize"), QStringLiteral("maximize"),
        QStringLiteral("setnotifytitle:Alert %s %d"), QStringLiteral("setnotifytitle:")};
    QCOMPARE(log.lines().mid(0, sent.size()), sent);
}

void TestBridge::largeNotifyHtml()
{
    // Far beyond what a data: address may hold: 12 MB of UTF-8 text.
    const QString text(4 * 1024 * 1024, QChar(0x4e2d));
    call(QStringLiteral("setnotifyhtml:<!DOCTYPE html><p id=big>") + text + QStringLiteral("</p>"));
    QVERIFY(waitFor(notify->page(),
                    QStringLiteral("document.getElementById('big') !== null && "
                                   "document.getElementById('big').textContent.length === %1 && "
                                   "document.compatMode === 'CSS1Compat'")
                        .arg(text.size()),
                    60000));
}

void TestBridge::survivesNavigation()
{
    LogCapture log;
    auto cleared = [] {
        return LogCapture::lines().count(QStringLiteral("handle_javaScriptWindowObjectCleared"));
    };
    call(QStringLiteral("setlocaldata:nav:kept"));

    QSignalSpy loaded(page(), &QWebEnginePage::loadFinished);
    evaluate(page(), QStringLiteral("location.href = '/second'; 1")); // the page's own script
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1, 20000);
    QCOMPARE(cleared(), 1);
    QCOMPARE(evaluate(page(), QStringLiteral("early")).toString(), QStringLiteral("object"));
    QCOMPARE(call(QStringLiteral("getlocaldata:nav")), QStringLiteral("\"kept\""));

    page()->triggerAction(QWebEnginePage::Reload);
    QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 2, 20000);
    QCOMPARE(cleared(), 2);
    QCOMPARE(call(QStringLiteral("getlocaldata:nav")), QStringLiteral("\"kept\""));

    QVERIFY(load(page(), server.url(QStringLiteral("/console"))));
    QCOMPARE(cleared(), 3);
    // A value written right before a reload is there for the next document.
    for (int round = 0; round < 40; ++round) {
        evaluate(page(), QStringLiteral("webkitExternal.command('setlocaldata:round:%1');"
                                        "location.reload(); 1")
                             .arg(round));
        QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 4 + round, 20000);
        QCOMPARE(call(QStringLiteral("getlocaldata:round")), QStringLiteral("\"%1\"").arg(round));
    }
    // A history step may restore the earlier document as it was; either way
    // the page finds the bridge.
    page()->triggerAction(QWebEnginePage::Back);
    QTRY_COMPARE_WITH_TIMEOUT(page()->url(), server.url(QStringLiteral("/second")), 20000);
    QVERIFY(waitFor(page(), QStringLiteral("document.readyState === 'complete'")));
    QCOMPARE(call(QStringLiteral("getlocaldata:nav")), QStringLiteral("\"kept\""));
}

void TestBridge::refusedToOtherOrigins()
{
    LogCapture log;
    const QString attempt =
        QStringLiteral("(function (text) { try { const x = new XMLHttpRequest();"
                       " x.open('GET', 'brindleton:commands?' + encodeURIComponent('=x:1:' + "
                       "JSON.stringify([text])), false); x.send();"
                       " return 'status ' + x.status; } catch (e) { return 'refused'; } })");
    const QUrl otherOrigin = QUrl(QStringLiteral("http://localhost:%1/second").arg(server.port()));

    // A frame of another origin inside the console.
    server.setPage("/framed", (QStringLiteral("<script>parent.postMessage(") + attempt +
                               QLatin1String("('setlocaldata:framed:1'), '*')</script>"))
                                  .toUtf8());
    evaluate(page(),
             QStringLiteral("window.addEventListener('message', e => window.framed = e.data);"
                            "const f = document.createElement('iframe');"
                            "f.src = 'http://localhost:%1/framed';"
                            "document.body.appendChild(f); 1")
                 .arg(server.port()));
    QVERIFY(waitFor(page(), QStringLiteral("window.framed !== undefined")));
    QVERIFY(!evaluate(page(), QStringLiteral("window.framed")).toString().endsWith(u"200"));

    // The pop-up's page.
    call(QStringLiteral("setnotifyhtml:<script>document.title = ") + attempt +
         QStringLiteral("('setlocaldata:popup:1')</script>"));
    QVERIFY(waitFor(notify->page(), QStringLiteral("document.title !== ''")));
    QVERIFY(!notify->page()->title().endsWith(u"200"));

    // A page of another origin in the console view itself.
    QVERIFY(load(page(), otherOrigin));
    QCOMPARE(evaluate(page(), QStringLiteral("early")).toString(), QStringLiteral("undefined"));
    QVERIFY(!evaluate(page(), attempt + QStringLiteral("('setlocaldata:other:1')"))
                 .toString()
                 .endsWith(u"200"));

    QVERIFY(localstore::read(QStringLiteral("framed")).isNull());
    QVERIFY(localstore::read(QStringLiteral("popup")).isNull());
    QVERIFY(localstore::read(QStringLiteral("other")).isNull());
    for (const QString &line : log.lines())
        QVERIFY2(!line.startsWith(QLatin1String("setlocaldata")), qPrintable(line));
}

void TestBridge::strangersCannotReachTheShell()
{
    // Everything the console document loads carries the console's origin as its initiator;
    // none of it may act, only the bridge's own script.
    const QByteArray attack =
        "brindleton:commands?" +
        QUrl::toPercentEncoding(QStringLiteral("=x:1:[\"setlocaldata:attack:1\",\"close\"]"));
    const QByteArray fetchIt = "fetch('" + attack + "', {headers: {'X-Brindleton-Secret': 'x'}})";
    server.route(QStringLiteral("/r302"), HttpServer::Kind::Redirect, attack);
    server.route(QStringLiteral("/r303"), HttpServer::Kind::SeeOther, attack);
    server.setPage("/worker.js", fetchIt, {}, "text/javascript");
    server.setPage("/stranger", "<script>" + fetchIt + "</script>");
    const QString html = QString::fromUtf8(
        "<img src='ATTACK'><img src='/r302'>"
        "<style>body{background:url('ATTACK')} @font-face{font-family:f;src:url('ATTACK')}"
        "p{font-family:f}</style><p>text</p>"
        "<iframe src='ATTACK'></iframe><iframe name=posted></iframe>"
        "<form id=f method=post action='/r303' target=posted><input name=a value=1></form>"
        "<iframe src='http://localhost:PORT/stranger'></iframe>");
    evaluate(page(),
             QStringLiteral("document.body.innerHTML = %1;"
                            "document.getElementById('f').submit();"
                            "FETCH; new Worker('/worker.js');"
                            "try { const x = new XMLHttpRequest(); x.open('GET', '%2', false);"
                            "x.send(); } catch (e) {} 1")
                 .arg(scriptcall::stringLiteral(
                     QString(html)
                         .replace(QLatin1String("ATTACK"), QString::fromLatin1(attack))
                         .replace(QLatin1String("PORT"), QString::number(server.port()))))
                 .arg(QString::fromLatin1(attack))
                 .replace(QLatin1String("FETCH"), QString::fromLatin1(fetchIt)));
    // The image, the style sheet's background and font and the script's own request reach
    // the shell and are refused; the engine itself stops the rest.
    QTRY_VERIFY_WITH_TIMEOUT(
        window->bridgeForTests()->refusedRequests() >= 4 && server.targets.contains("/r302") &&
            server.targets.contains("/r303") && server.targets.contains("/worker.js") &&
            server.targets.contains("/stranger"),
        20000);
    QCOMPARE(call(QStringLiteral("getlocaldata:attack")), QStringLiteral("null"));
    QVERIFY(localstore::read(QStringLiteral("attack")).isNull());
    QVERIFY(window->isVisible());
}

void TestBridge::closeSkipsPrompt()
{
    notify->showNotify();
    bool prompted = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            prompted = true;
            modal->close();
        }
    });
    probe.start(10);
    QCOMPARE(call(QStringLiteral("close")), QStringLiteral("null"));
    QVERIFY(!prompted);
    QCOMPARE(window->closeConfirmed, 1);
    QVERIFY(!window->isVisible());
    QVERIFY(!notify->isVisible());
}

void TestBridge::storeAcrossRuns()
{
    // Two runs of the real program: the first stores a value, the second reads
    // it; each reports what it read and closes itself.
    server.setPage("/webconsole/default2.aspx", R"(<html><head><script>
        const v = ['across runs', 'lone'].map(k => webkitExternal.command('getlocaldata:' + k));
        fetch('/report?' + encodeURIComponent(JSON.stringify(v))).then(() => {
          if (v[0] === null) {
            webkitExternal.command('setlocaldata:across runs:from run 1');
            webkitExternal.command('setlocaldata:lone:a\uD800b\uDC00');
          }
          webkitExternal.command('close');
        });</script></head></html>)");
    const QUrl console = server.url(QStringLiteral("/webconsole/default2.aspx"));
    QStringList reports;
    for (int run = 0; run < 2; ++run) {
        QProcess shell;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("BRINDLETON_CONSOLE_URL"), console.toString());
        shell.setProcessEnvironment(env);
        shell.start(qEnvironmentVariable("BRINDLETON_EXECUTABLE"), QStringList());
        QVERIFY(shell.waitForStarted());
        // The page server runs in this thread: keep its event loop going.
        QTRY_VERIFY_WITH_TIMEOUT(shell.state() == QProcess::NotRunning, 60000);
        QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
        QCOMPARE(shell.exitCode(), 0);
    }
    for (const QByteArray &request : std::as_const(server.targets)) {
        if (request.startsWith("/report?"))
            reports.append(QUrl::fromPercentEncoding(request.mid(8)));
    }
    // A value that is not valid Unicode reads back exactly too.
    QCOMPARE(reports, QStringList({QStringLiteral("[null,null]"),
                                   QStringLiteral("[\"from run 1\",\"a\\ud800b\\udc00\"]")}));
}

void TestBridge::lookupResultsReachThePage()
{
    const QStringList commands = {
        QStringLiteral("querydns:127.0.0.1"), QStringLiteral("querydns:127.1"),
        QStringLiteral("querydns:10.0.0.5"),  QStringLiteral("querydns:10.0.0.5"),
        QStringLiteral("querydns:abc"),       QStringLiteral("querydns")};
    for (const QString &command : commands)
        QCOMPARE(call(command), QStringLiteral("null"));
    QVERIFY(waitFor(page(), QStringLiteral("lookups.length >= 6")));
    QTest::qWait(200);
    const QVariantList got = evaluate(page(), QStringLiteral("lookups")).toList();
    QStringList pairs;
    for (const QVariant &pair : got)
        pairs.append(pair.toStringList().join(u'|'));
    pairs.sort();
    QStringList expected = {QStringLiteral("127.0.0.1|") + trickyName,
                            QStringLiteral("127.1|") + trickyName,
                            QStringLiteral("10.0.0.5|"),
                            QStringLiteral("10.0.0.5|"),
                            QStringLiteral("abc|"),
                            QStringLiteral("|")};
    expected.sort();
    QCOMPARE(pairs, expected);

    // A result goes to whatever page is loaded when it arrives.
    call(QStringLiteral("querydns:10.0.0.9"));
    QVERIFY(load(page(), server.url(QStringLiteral("/second"))));
    heldLookup.release();
    QVERIFY(waitFor(page(), QStringLiteral("lookups.length === 1")));
    QCOMPARE(evaluate(page(), QStringLiteral("lookups[0]")).toStringList(),
             QStringList({QStringLiteral("10.0.0.9"), QStringLiteral("late.example")}));
}

void TestBridge::nothingLostWhenThePageLeaves()
{
    LogCapture log;
    // Commands sent right before the page navigates away, and while it unloads.
    evaluate(
        page(),
        QStringLiteral(
            "addEventListener('pagehide', () => webkitExternal.command('setnotifytitle:gone'));"
            "for (let i = 0; i < 300; ++i) webkitExternal.command('setlocaldata:leaving:' + i);"
            "location.href = '/second'; 1"));
    QTRY_COMPARE_WITH_TIMEOUT(page()->url(), server.url(QStringLiteral("/second")), 20000);
    // Browsers refuse synchronous requests while a page unloads, so only the
    // channel delivers a command sent from there.
    QTRY_COMPARE(notify->windowTitle(), QStringLiteral("gone"));
    const QStringList sent =
        log.lines().filter(QRegularExpression(QStringLiteral("^setlocaldata:leaving:")));
    QCOMPARE(sent.size(), 300);
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent[i], QStringLiteral("setlocaldata:leaving:%1").arg(i));
    QCOMPARE(localstore::read(QStringLiteral("leaving")), QStringLiteral("299"));
    QCOMPARE(call(QStringLiteral("getlocaldata:leaving")), QStringLiteral("\"299\""));
}

void TestBridge::otherInstancesWritesArrive()
{
    // Another process writes while this page is open; the page reads the new value.
    for (const QString &value : {QStringLiteral("first"), QStringLiteral("second")}) {
        QProcess other;
        other.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--write-store"), QStringLiteral("shared/key"), value});
        QVERIFY(other.waitForFinished(30000));
        QCOMPARE(other.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(call(QStringLiteral("getlocaldata:shared/key")),
                                  u'"' + value + u'"', 10000);
    }
}

int main(int argc, char **argv)
{
    testsupport::isolateEnvironment();
    if (argc == 4 && qstrcmp(argv[1], "--write-store") == 0) {
        localstore::write(QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]));
        return 0;
    }
    QCoreApplication::setApplicationName(QStringLiteral("brindleton"));
    bridge::registerScheme();
    NotifyWindow::registerScheme();
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    TestBridge test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_bridge.moc"
