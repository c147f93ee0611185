// The shell with its windows: the script bridge as the console page sees it, links, the exit
// prompt, the pop-up, the ends of renderers, and the program as a process.
#include "console/localstore.h"
#include "console/mainwindow.h"
#include "console/rendererguard.h"
#include "console/ui_mainwindow.h"
#include "httpserver.h"
#include "notify/notifywindow.h"
#include "platform/platform.h"

#include <QApplication>
#include <QJsonDocument>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSemaphore>
#include <QUrlQuery>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>

#include <csignal>
#include <optional>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

namespace {

const QString trickyName = u"it's \"odd\"\\ host\nname\u2028 \u00e9\U0001F600');x('"_s;
QSemaphore heldLookup;
QStringList debugLines, warnings;
QtMessageHandler previousHandler = nullptr;

// Names 127.0.0.1; a look-up of 10.0.0.9 waits until the test releases it.
QString testResolver(quint32 address)
{
    if (address == platform::ipv4FromText("10.0.0.9"))
        heldLookup.acquire();
    return address == platform::ipv4FromText("127.0.0.1") ? trickyName : QString();
}

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    (type == QtDebugMsg ? debugLines : warnings).append(message);
    if (type != QtDebugMsg)
        previousHandler(type, context, message); // warnings still reach the test's output
}

// Evaluates script in the page's main world; an invalid QVariant when no result comes.
QVariant evaluate(QWebEnginePage *page, const QString &script)
{
    auto result = std::make_shared<std::optional<QVariant>>();
    page->runJavaScript(script, [result](const QVariant &value) { *result = value; });
    if (!QTest::qWaitFor([&] { return result->has_value(); }, 20000))
        qWarning("no result for %s", qPrintable(script.left(200)));
    return result->value_or(QVariant());
}

bool waitFor(QWebEnginePage *page, const QString &condition, int ms = 20000)
{
    return QTest::qWaitFor([&] { return evaluate(page, condition).toBool(); }, ms);
}

bool load(QWebEnginePage *page, const QUrl &url)
{
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);
    page->load(url);
    return finished.wait(20000) && finished.constLast().value(0).toBool();
}

const QByteArray lookupPage = "<html><head><script>window.early = typeof webkitExternal;"
                              "window.lookups = [];"
                              "function HandleQueryDns(a, n) { lookups.push([a, n]); }"
                              "</script></head><body>console</body></html>";

// A link (or a frame that holds one) in the top left corner of the page, as the query tells; once
// painted, the link's document tells the top. "go" activates it by script.
const QByteArray linksPage = R"(<html><body style="margin:0"><script>
  const p = new URLSearchParams(location.search), place = e => document.body.appendChild(Object.assign(
    e, {style: 'display:block;position:absolute;left:0;top:0;width:300px;height:200px;border:0'}));
  addEventListener('message', e => { window[e.data] = true; });
  addEventListener('mousedown', () => top.postMessage('pressed', '*'), true);
  if (p.has('frame')) {
    const f = place(document.createElement('iframe')), base = p.get('frame');
    p.delete('frame');
    f.src = base + '?' + p;
  } else if (p.has('href')) {
    const a = place(document.createElement('a'));
    a.href = p.get('href'); a.textContent = 'link'; a.target = p.get('target');
    if (p.get('how') === 'hash') a.onclick = () => { location.href = '/second'; };
    addEventListener('message', e => e.data === 'go' && a.click());
    requestAnimationFrame(() => requestAnimationFrame(() => top.postMessage('ready', '*')));
  }</script></body></html>)";

// Over the top left corner, a frame of the kind the query names: of another origin, of an opaque
// origin (sandboxed), or the console's sandboxed srcdoc frame, where no script runs, with a link
// to the top. Its document acts on the console on the user's press in it, or at once for "back".
const QByteArray framesPage = R"(<html><body style="margin:0"><script>
  const p = new URLSearchParams(location.search), to = p.get('to'), kind = p.get('kind');
  const acts = {top: () => top.location = to, blank: () => top.location = 'about:blank',
    blob: () => top.location = URL.createObjectURL(new Blob(['<title>PHISH'], {type: 'text/html'}))};
  if (kind) {
    const f = document.body.appendChild(document.createElement('iframe'));
    f.style = 'position:absolute;left:0;top:0;width:300px;height:200px;border:0';
    if (kind === 'opaque' || kind === 'srcdoc')
      f.sandbox = 'allow-top-navigation-by-user-activation' + (kind === 'opaque' ? ' allow-scripts' : '');
    addEventListener('message', e => (window.said = e.data) && f.focus()); // keys go to f
    if (kind === 'sibling') document.domain = 'console.localhost';
    f.onload = () => (kind === 'srcdoc' ? window.said = 'ready' : f.contentWindow.postMessage('', '*'));
    p.delete('kind');
    if (kind === 'srcdoc')
      f.srcdoc = `<body style=margin:0><a target=_top href="${to}" style=display:block;height:200px>x`;
    else
      f.src = ({foreign: new URL(to).origin, sibling: `//b.console.localhost:${location.port}`}[kind] || '') +
              '/frames?' + p;
  } else {
    addEventListener('click', acts[p.get('act')]);
    const a = Object.assign(document.createElement('a'), {href: to, target: '_blank'});
    onkeydown = () => p.get('act') === 'keys' && a.click(); // each key a link for the browser
    if (p.get('act') === 'domain') document.domain = 'console.localhost';
    try { top.webkitExternal.command('setlocaldata:reached:1'); top.postMessage('reached', '*'); }
    catch (error) { top.postMessage('ready', '*'); }
    addEventListener('message', () => p.get('act') === 'back' && history.back());
  }</script></body></html>)";

} // namespace

class TestShell : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(collect);
        server.route("/console", lookupPage);
        server.route("/second", lookupPage);
        other.route("/second", lookupPage);
        server.route("/links", linksPage);
        other.route("/links", linksPage);
        server.route("/frames", framesPage);
        other.route("/frames", framesPage);
        qputenv("BRINDLETON_CONSOLE_URL", server.url(u"/console"_s).toEncoded());
        platform::setReverseResolver(&testResolver);
        // The desktop's panels leave a work area that is not the whole 1280x1024 screen.
        QProcess::execute(u"xprop"_s, {u"-root"_s, u"-f"_s, u"_NET_WORKAREA"_s, u"32c"_s, u"-set"_s,
                                       u"_NET_WORKAREA"_s, u"0, 30, 1200, 960"_s});
        QTRY_COMPARE(QGuiApplication::primaryScreen()->availableGeometry(),
                     QRect(0, 30, 1200, 960));
    }
    void init()
    {
        window = new MainWindow;
        notify = new NotifyWindow;
        window->setNotifyWindow(notify);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QVERIFY(load(page(), server.url(u"/console"_s)));
        debugLines.clear();
        // The desktop's opener is tests/opener/xdg-open, which notes what it was given.
        qputenv("PATH", QByteArray(QFile::encodeName(QFINDTESTDATA("opener")) + ":/usr/bin:/bin"));
        QFile::remove(QDir::temp().filePath(u"xdg-open.log"_s));
    }
    void cleanup()
    {
        delete notify;
        delete window;
    }
    void commands()
    {
        const char *const table[][2] = {
            {"getlocaldata:absent", "null"},
            {"setlocaldata:colour:", "null"},
            {"getlocaldata:colour", "\"\""}, // empty, not null
            {"setlocaldata:k:a:b", "null"},
            {"setlocaldata:k", "null"},
            {"getlocaldata:k", "\"a:b\""}, // left in place: no value stores nothing
            {"setlocaldata::empty key", "null"},
            {"getlocaldata", "\"empty key\""},
            {"setlocaldata:u:\u00e9\u4e2d\U0001F600 \"%s\"", "null"},
            {"getlocaldata:u", "\"\u00e9\u4e2d\U0001F600 \\\"%s\\\"\""},
            {"playsound:", "\"OK\""},
            {"PLAYSOUND:x", "null"},
            {"", "null"},
            {" maximize", "null"},
            {"setnotifytitle:Alert %s %d", "null"},
            {"maximize", "null"},
            {"open:https://example.invalid/a b", "null"}, // no opener: PATH has no xdg-open
        };
        qputenv("PATH", "/nonexistent"); // until the next test's init()
        QStringList sent;
        for (const auto &[text, result] : table) {
            sent.append(QString::fromUtf8(text));
            QCOMPARE(call(sent.last()), QString::fromUtf8(result));
        }
        QTRY_VERIFY(window->windowState().testFlag(Qt::WindowMaximized));
        QCOMPARE(notify->windowTitle(), u"Alert %s %d"_s);
        // Every command is logged literally, in the order sent.
        QTRY_COMPARE(debugLines, sent);
        QTRY_VERIFY(warnings.contains(u"The desktop could not open https://example.invalid/a b"_s));
    }
    void storeInThePage()
    {
        // Another instance writes while the page is open; the page reads the new value.
        localstore::Store other;
        for (const QString &value : {u"first"_s, u"second"_s}) {
            other.setValue(u"shared/key"_s, value);
            other.flush();
            QTRY_COMPARE_WITH_TIMEOUT(call(u"getlocaldata:shared/key"_s), u'"' + value + u'"',
                                      10000);
            evaluate(page(), u"document.open(); document.write('new'); document.close(); 1"_s);
        }

        // An update that left the shell before the page's newer write does not undo it. The page
        // waits for the test while the update goes out.
        QSignalSpy updates(window->findChild<localstore::Store *>(),
                           &localstore::Store::changedElsewhere);
        server.route("/hold", "x", HttpServer::Hold);
        page()->runJavaScript(u"const x = new XMLHttpRequest(); x.open('GET', '/hold', false);"
                              "x.send(); webkitExternal.command('setlocaldata:race:mine')"_s);
        QTRY_VERIFY(server.targets.contains("/hold"));
        other.setValue(u"race"_s, u"older"_s);
        other.flush();
        QTRY_COMPARE_WITH_TIMEOUT(updates.size(), 1, 10000);
        server.sendHeld(-1);
        QTRY_COMPARE_WITH_TIMEOUT(other.value(u"race"_s), u"mine"_s, 10000);
        QCOMPARE(call(u"getlocaldata:race"_s), u"\"mine\""_s);

        // A value written right before a reload is there for the next document.
        QSignalSpy loaded(page(), &QWebEnginePage::loadFinished);
        for (int round = 0; round < 10; ++round) {
            page()->runJavaScript(
                u"webkitExternal.command('setlocaldata:round:%1'); location.reload()"_s.arg(round));
            QTRY_COMPARE_WITH_TIMEOUT(loaded.size(), 1 + round, 20000);
            QCOMPARE(call(u"getlocaldata:round"_s), u"\"%1\""_s.arg(round));
        }
    }
    void lookups()
    {
        QStringList expected;
        for (const QString &address :
             {u"127.0.0.1"_s, u"127.1"_s, u"10.0.0.5"_s, u"abc"_s, u""_s}) {
            QCOMPARE(call(u"querydns:"_s + address), u"null"_s);
            expected.append(address + u'|' + (address.startsWith(u"127") ? trickyName : QString()));
        }
        expected.sort(); // both sort by UTF-16 code unit
        QTRY_COMPARE(evaluate(page(), u"lookups.map(p => p.join('|')).sort()"_s).toStringList(),
                     expected);

        // A result that arrives once a page of another origin has replaced the console stays out.
        call(u"querydns:10.0.0.9"_s);
        QVERIFY(load(page(), other.url(u"/second"_s)));
        QCOMPARE(evaluate(page(), u"early"_s).toString(), u"undefined"_s);
        heldLookup.release();
        QTRY_VERIFY(debugLines.contains(u"handle_querydns"_s));
        evaluate(page(), u"1"_s); // the call to the page is sent before this answer comes
        QCOMPARE(evaluate(page(), u"lookups.length"_s).toInt(), 0);
    }
    void strangersCannotReachTheShell()
    {
        // Everything the console document loads carries its origin; only the bridge's own requests,
        // which carry its secret, may act.
        const QByteArray attack =
            "brindleton:commands?" + QUrl::toPercentEncoding(u"=x:1:[\"setlocaldata:attack:1\"]"_s);
        page()->runJavaScript(u"document.body.innerHTML = \"<img src='%1'><link rel=stylesheet "
                              "href='%1'><style>body{background:url('%1')}</style>\""_s.arg(
                                  QString::fromLatin1(attack)));
        QTRY_VERIFY_WITH_TIMEOUT(window->bridgeForTests()->refusedRequests() >= 2, 20000);
        QVERIFY(window->findChild<localstore::Store *>()->value(u"attack"_s).isNull());
    }
    void largePopupContent()
    {
        // Far beyond what a data: address may hold: 12 MB of UTF-8 text.
        const QString text(4 * 1024 * 1024, QChar(0x4e2d));
        call(u"setnotifyhtml:<!DOCTYPE html><p id=big>"_s + text + u"</p>");
        QVERIFY(waitFor(notify->page(),
                        u"document.getElementById('big')?.textContent.length === %1 && "
                        "document.compatMode === 'CSS1Compat'"_s.arg(text.size()),
                        60000));
    }
    void popupPlacedAndRendererEndKeepsContent()
    {
        notify->setContent(u"<p>first</p>"_s, QUrl());
        notify->setContent(u"<p>last</p>"_s, QUrl());
        notify->move(0, 0);
        notify->showNotify();
        QVERIFY(QTest::qWaitForWindowExposed(notify));
        // The bottom right corner of the work area that initTestCase() gives the desktop.
        QCOMPARE(notify->geometry(), QRect(848, 838, 320, 120));

        QPointer<QWebEnginePage> ended = notify->page();
        const QString text = u"document.body.innerText"_s;
        QTRY_COMPARE(evaluate(ended, text).toString(), u"last"_s);
        QCOMPARE(::kill(ended->renderProcessPid(), SIGKILL), 0);
        QTRY_VERIFY(debugLines.contains(u"Pop-up renderer ended (killed, code 9)"_s));
        notify->showNotify(); // as the console's shownotify does
        QTRY_COMPARE(evaluate(notify->page(), text).toString(), u"last"_s);
        QTRY_VERIFY(!ended); // the ended page is freed
    }
    void consoleStays_data()
    {
        // Where the stranger is, what it does, and the line that tells the outcome: a refusal, or
        // "browser <address>" for one hand-off to the user's browser.
        QTest::addColumn<QStringList>("row");
        const auto row = [](const char *where, const char *act, const char *outcome) {
            QTest::addRow("%s, %s", where, act) << QStringList{
                QString::fromUtf8(where), QString::fromUtf8(act), QString::fromUtf8(outcome)};
        };
        const char *refused = "Refused navigation of the console by a frame of another origin: ";
        for (const char *act : {"top", "blob", "blank", "back"})
            row("foreign", act, refused);
        row("foreign", "keys", "Refused link from a frame of another origin: ");
        row("sibling", "domain", ""); // both set document.domain: the frame must not reach the top
        for (const char *act : {"top", "blob", "blank"})
            row("opaque", act, refused);
        row("srcdoc", "link", refused);
        row("pop-up", "ssh://example.invalid/x", "Refused to open ssh://example.invalid/x");
        row("pop-up", "https://example.invalid/p", "browser https://example.invalid/p");
        row("pop-up", "mailto:x@example.org?subject=s&Attach=/etc/passwd&attachment=%2Fx",
            "browser mailto:x@example.org?subject=s");
        row("pop-up", "refresh", "Refused navigation of the pop-up to ");
    }
    void consoleStays()
    {
        QFETCH(QStringList, row);
        const QString &where = row[0], &act = row[1], &outcome = row[2];
        const QUrl to = other.url(u"/second"_s, u"localhost"_s);
        QUrl url = server.url(u"/frames?kind=%1&act=%2&to=%3"_s.arg(where, act, to.toString()));
        if (where == u"pop-up") {
            notify->setContent(
                act == u"refresh"
                    ? u"<meta http-equiv=refresh content='0;url=%1'>"_s.arg(to.toString())
                    : u"<body style=margin:0><a style=display:block;height:99px href='%1'>x</a>"
                      "<script>onmousedown = () => window.pressed = true</script>"_s.arg(act),
                QUrl());
            notify->showNotify();
            url = QUrl(u"brindleton-popup:content"_s);
        } else {
            if (where == u"sibling") { // the console on a host of its own, beside the frame's
                url.setHost(u"a.console.localhost"_s);
                qputenv("BRINDLETON_CONSOLE_URL", url.toEncoded());
                delete window;
                window = new MainWindow;
                qputenv("BRINDLETON_CONSOLE_URL", server.url(u"/console"_s).toEncoded());
            }
            // A page before the console's, for history.back().
            QVERIFY(load(page(), to) && load(page(), url));
            QVERIFY(waitFor(page(), u"window.said === 'ready'"_s)); // not 'reached'
        }
        QWebEngineView *view =
            where == u"pop-up" ? notify->findChild<QWebEngineView *>() : window->ui->webView;
        QWebEnginePage *target = view->page();
        const auto press = [&] {
            if (act == u"keys")
                QTest::keyClicks(view->focusProxy(), u"abcde"_s);
            else if (act != u"back" && act != u"refresh")
                QTest::mouseClick(view->focusProxy(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        };
        if (outcome.startsWith(u"browser ")) { // pressed once, handed on once
            QVERIFY(QTest::qWaitFor([&] {
                press();
                return waitFor(target, u"window.pressed === true"_s, 500);
            }));
            QTRY_COMPARE(opened(), "1\n" + outcome.mid(8).toUtf8() + '\n');
        } else { // pressed until the engine takes the press (a frame may still be loading)
            const auto logged = [&] {
                press();
                return std::any_of(debugLines.cbegin(), debugLines.cend(),
                                   [&](const QString &line) { return line.startsWith(outcome); });
            };
            QTRY_VERIFY2_WITH_TIMEOUT(logged(), qPrintable(debugLines.join(u'\n')), 20000);
            QCOMPARE(opened(), QByteArray());
        }
        QTRY_COMPARE(target->url(), url); // the console, or the pop-up's content, as it was
    }
    void links_data()
    {
        // Where the link is, how it is activated, its target, and where it ends: "browser" (the
        // user's browser, the page stays), "view" (a script's own navigation, which stays in the
        // view) or refused, with the line that says so.
        QTest::addColumn<QStringList>("row");
        const auto row = [](const char *frame, const char *how, const char *target,
                            const char *end) {
            QTest::addRow("%s, %s, %s", frame, how, target)
                << QString::fromLatin1(QByteArrayList{frame, how, target, end}.join('|'))
                       .split(u'|');
        };
        for (const char *target : {"", "_blank", "_top"}) {
            for (const char *how : {"user", "script"}) {
                row("main", how, target, "browser");
                row("own frame", how, target, "browser");
                row("foreign frame", how, target,
                    how[0] == 's' ? "Refused link from a frame of another origin: " : "browser");
            }
        }
        row("main", "middle", "", "browser");
        row("main", "rewritten", "", "browser"); // the document written anew after its load
        row("main", "location", "", "view");     // the console's script sets location
        row("main", "hash", "", "view");         // href # with a navigating onclick
        row("main", "ssh", "", "Refused to open ");
    }
    void links()
    {
        QFETCH(QStringList, row);
        const QString &frame = row[0], &how = row[1], &target = row[2], &outcome = row[3];
        const QString href = how == u"ssh"    ? u"ssh://example.invalid/x"_s
                             : how == u"hash" ? u"#"_s
                                              : u"https://example.invalid/%1 x?q=1&r=$HOME;x"_s.arg(
                                                    QLatin1String(QTest::currentDataTag()));
        QUrl url = server.url(u"/links"_s);
        QUrlQuery query({{u"href"_s, href}, {u"target"_s, target}, {u"how"_s, how}});
        const QUrl inFrame = frame == u"own frame" ? url : other.url(u"/links"_s, u"localhost"_s);
        if (frame != u"main")
            query.addQueryItem(u"frame"_s, inFrame.toString());
        url.setQuery(query);
        QVERIFY(load(page(), url));
        QVERIFY(waitFor(page(), u"window.ready === true"_s));

        if (how == u"rewritten") {
            evaluate(page(), u"const h = document.querySelector('a').href; document.open(); "
                             "document.write(`<body style=margin:0><a href='${h}' style=display:"
                             "block;height:200px>x`); document.close(); onmousedown = () => "
                             "window.pressed = true; 1"_s);
        }
        if (how == u"location") {
            evaluate(page(), u"location.href = '/second'; 1"_s);
        } else if (how != u"script") {
            // A frame takes input once the engine knows where it lies: press until it tells.
            const Qt::MouseButton button = how == u"middle" ? Qt::MiddleButton : Qt::LeftButton;
            QWidget *view = window->ui->webView->focusProxy();
            QVERIFY(QTest::qWaitFor([&] {
                QTest::mouseMove(view, QPoint(50, 50));
                QTest::mouseClick(view, button, Qt::NoModifier, QPoint(50, 50));
                return waitFor(page(), u"window.pressed === true"_s, 500);
            }));
        }
        if (how == u"script")
            evaluate(page(), u"(frames[0] || window).postMessage('go', '*'); 1"_s);

        if (outcome == u"browser") {
            QTRY_COMPARE(opened(), "1\n" + QUrl(href).toEncoded() + '\n'); // one argument
            siginfo_t ended{}; // a child of the test that has ended and not been collected
            QTRY_VERIFY(::waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                        !ended.si_pid);
        } else if (outcome == u"view") {
            QTRY_COMPARE(page()->url(), server.url(u"/second"_s));
        } else {
            QTRY_VERIFY2(debugLines.contains(outcome + QUrl(href).toString()),
                         qPrintable(debugLines.join(u'\n')));
        }
        // Nothing but the script's own navigation leaves the page, and nothing else is opened.
        if (outcome != u"view") {
            QVERIFY(waitFor(page(), u"window.ready === true"_s));
            QCOMPARE(page()->url(), url);
        }
        QCOMPARE(opened().count('\n'), outcome == u"browser" ? 2 : 0);
    }
    void exitPrompt()
    {
        notify->showNotify();
        QTRY_VERIFY(notify->isVisible());
        QStringList asked; // each prompt as it came; Return answers it (OK is the end-to-end run's)
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                asked += {box->text(), box->windowTitle(), box->defaultButton()->text(),
                          notify->isVisible() ? u"pop-up shown"_s : u"pop-up closed"_s};
                QTest::keyClick(box, Qt::Key_Return);
            }
        });
        answer.start(0);
        QVERIFY(!window->close()); // Cancel is the default
        QCOMPARE(asked, QStringList({u"Exit brindleton console?"_s, u"brindleton"_s, u"Cancel"_s,
                                     u"pop-up closed"_s}));
        QVERIFY(window->isVisible() && !notify->isVisible());
        QCOMPARE(call(u"close"_s), u"null"_s); // the page's close command asks nothing
        QVERIFY(asked.size() == 4 && !window->isVisible());
    }
    void consoleRendererEnds()
    {
        const QWidget *stopped = window->findChild<RendererGuard *>()->stopMessage();
        const QString reloading = u"Console renderer ended (killed, code 9); reloading"_s;
        call(u"setlocaldata:renderer:kept"_s);
        // Each end reloads the page, with the bridge and the store as they were; the third within
        // a minute stops until the user reloads, which starts the count afresh.
        for (int end = 1; end <= 4; ++end) {
            QCOMPARE(::kill(page()->renderProcessPid(), SIGKILL), 0);
            if (end == 3) {
                QTRY_VERIFY(stopped->isVisible());
                QVERIFY(debugLines.contains(u"Console renderer ended (killed, code 9); "
                                            "stopped after 3 ends within a minute"_s));
                stopped->findChild<QPushButton *>()->click();
            } else {
                QTRY_COMPARE(debugLines.count(reloading), qMin(end, 3));
            }
            QTRY_COMPARE_WITH_TIMEOUT(call(u"getlocaldata:renderer"_s), u"\"kept\""_s, 20000);
            QCOMPARE(page()->url(), server.url(u"/console"_s));
            QVERIFY(!stopped->isVisible());
        }
    }

private:
    QWebEnginePage *page() const { return window->ui->webView->page(); }
    // What the desktop's opener was given, one line for the number of arguments, then each.
    static QByteArray opened()
    {
        QFile log(QDir::temp().filePath(u"xdg-open.log"_s));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }
    // What the page's script receives, as JSON: null or a quoted string.
    QString call(const QString &text)
    {
        const QByteArray literal = QJsonDocument::fromVariant(QVariantList{text}).toJson();
        return evaluate(page(), u"JSON.stringify(webkitExternal.command(%1[0]))"_s.arg(
                                    QString::fromUtf8(literal)))
            .toString();
    }

    HttpServer server, other; // the console's origin and another one (another port)
    MainWindow *window = nullptr;
    NotifyWindow *notify = nullptr;
};

int main(int argc, char **argv)
{
    // A home and XDG directories of the process's own.
    const QTemporaryDir home(QDir::tempPath() + u"/brindleton-test-XXXXXX");
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "TMPDIR",
                             "XDG_RUNTIME_DIR"}) {
        const QString dir = home.filePath(QString::fromLatin1(name));
        QDir().mkdir(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(name, QFile::encodeName(dir));
    }
    QCoreApplication::setApplicationName(u"brindleton"_s);
    bridge::registerScheme();
    NotifyWindow::registerScheme();
    QApplication app(argc, argv);
    TestShell test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_shell.moc"
