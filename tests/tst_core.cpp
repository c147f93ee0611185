// The window-free core: the console's commands as the bridge hands them over, with what each
// does, and the pure functions beneath them.
#include "app/displayplatform.h"
#include "console/commandtext.h"
#include "console/console.h"
#include "console/consoleurl.h"
#include "console/desktoplink.h"
#include "httpserver.h"
#include "platform/platform.h"
#include "services/desktopopener.h"

#include <QMetaMethod>
#include <QMutex>
#include <QNetworkProxy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QMutex resolved;
QStringList resolvedAddresses; // every look-up that reached the resolver
QStringList logged;            // the program's log lines, as the test reads them

QString testResolver(quint32 address)
{
    const QMutexLocker lock(&resolved);
    resolvedAddresses.append(QString::number(address, 16));
    return address == platform::ipv4FromText("127.0.0.1") ? u"host.test"_s : QString();
}

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

    QTemporaryDir home;
    HttpServer server;

    static QByteArray opened()
    {
        QFile log(QDir::temp().filePath(u"xdg-open.log"_s));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"XDG_CONFIG_HOME", "TMPDIR"})
            qputenv(name, QFile::encodeName(home.path()));
        // The desktop's opener is tests/opener/xdg-open, which notes what it was given.
        qputenv("PATH", QByteArray(QFile::encodeName(QFINDTESTDATA("opener")) + ":/usr/bin:/bin"));
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        platform::setReverseResolver(&testResolver);
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &line) {
            logged.append(line);
        });
    }

    // One console takes the commands in turn: each gives its result and says what the windows
    // are to show. Names match exactly. (The page's own answers, from its copy of the store, are
    // tst_shell's.)
    void commands()
    {
        const char *const table[][3] = {
            {"setlocaldata:k:a:b", nullptr, ""},
            {"setlocaldata:k", nullptr, ""},
            {"SETLOCALDATA:k:x", nullptr, ""},
            {"getlocaldata:k", "a:b", ""}, // no value, or another case, stores nothing
            {"setnotifytitle:Alert %s %d", nullptr, "notifyTitleChanged(Alert %s %d)"},
            {"SetNotifyTitle:x", nullptr, ""},
            {"setnotifyhtml:<p>a:b</p>", nullptr, "notifyContentChanged(<p>a:b</p>)"},
            {"shownotify", nullptr, "notifyShown()"},
            {"hidenotify:x", nullptr, "notifyHidden()"},
            {"maximize", nullptr, "maximizeRequested()"},
            {" maximize", nullptr, ""},
            {"close", nullptr, "closeRequested()"},
            {"", nullptr, ""},
        };
        Console console;
        QList<std::pair<QMetaMethod, std::shared_ptr<QSignalSpy>>> spies;
        const QMetaObject &meta = Console::staticMetaObject;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                spies.append(
                    {meta.method(i), std::make_shared<QSignalSpy>(&console, meta.method(i))});
        }
        for (const auto &[text, result, effect] : table) {
            QCOMPARE(console.command(QString::fromUtf8(text)), QString::fromUtf8(result));
            QStringList effects;
            for (const auto &[signal, spy] : spies) {
                for (const QVariantList &arguments : std::as_const(*spy)) {
                    QStringList texts;
                    for (const QVariant &argument : arguments)
                        texts.append(argument.toString());
                    effects.append(QString::fromLatin1(signal.name()) + u'(' + texts.join(u',') +
                                   u')');
                }
                spy->clear();
            }
            QCOMPARE(effects.join(u';'), QString::fromUtf8(effect));
        }
    }

    // Commands whose work goes on elsewhere, matched by name exactly: the look-up reaches the
    // resolver and the sound its server only for the right name. Each is followed by one that is
    // bound to get there after it (fetches and look-ups start in order).
    void servicesByName()
    {
        server.route("/a.wav", "RIFF");
        Console console;
        QSignalSpy found(&console, &Console::hostNameFound);
        for (const QString &text : {u"QUERYDNS:127.0.0.3"_s, u"querydns:127.1"_s})
            console.command(text);
        QTRY_COMPARE(found.size(), 1);
        QCOMPARE(found.constFirst(), QVariantList({u"127.1"_s, u"host.test"_s}));
        QCOMPARE(resolvedAddresses, QStringList{u"100007f"_s});
        const QString sound = server.url(u"/a.wav"_s).toString();
        for (const QString &text :
             QStringList{u"PLAYSOUND:"_s + sound + u"?upper", u"playsound:"_s + sound})
            console.command(text);
        QTRY_VERIFY(server.targets.contains("/a.wav"));
        QCOMPARE(server.targets, QByteArrayList{"/a.wav"});
    }

    // What the page's open command hands to the desktop, and what it refuses: one argument, no
    // shell between; only http, https, mailto and tel; mail without file attachments; a burst
    // bounded.
    void open_data()
    {
        QTest::addColumn<QStringList>("addresses");
        QTest::addColumn<QByteArray>("handed"); // what the opener got, one line per argument
        QTest::addColumn<int>("refused");
        QTest::newRow("https") << QStringList{u"https://example.invalid/a b?q=$HOME;x&y"_s}
                               << QByteArray("1\nhttps://example.invalid/a%20b?q=$HOME;x&y\n") << 0;
        QTest::newRow("schemes") << QStringList{u"file:///etc/passwd"_s, u"javascript:alert(1)"_s,
                                                u"ssh://example.invalid"_s, u"/relative"_s,
                                                u"tel:123"_s}
                                 << QByteArray("1\ntel:123\n") << 4;
        QTest::newRow("burst") << QStringList(8, u"http://example.invalid/"_s)
                               << QByteArray("1\nhttp://example.invalid/\n").repeated(5) << 3;
    }
    void open()
    {
        QFETCH(QStringList, addresses);
        QFETCH(QByteArray, handed);
        QFETCH(int, refused);
        QFile::remove(QDir::temp().filePath(u"xdg-open.log"_s));
        Console console;
        logged.clear();
        for (const QString &address : addresses)
            console.command(u"open:"_s + address);
        QCOMPARE(logged.filter(QRegularExpression(u"^Refused to open "_s)).size(), refused);
        QTRY_COMPARE(opened(), handed);
        if (addresses.size() >= DesktopOpener::burst)
            return;
        // A desktop without its opener says so.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        console.command(u"open:tel:1"_s);
        QTRY_VERIFY(logged.contains(u"The desktop could not open tel:1"_s));
        qputenv("PATH", path);
    }

    void commandLogLine_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("line");
        const QString big(52428800, u'v'),
            cut = QString(200, u'v') + u"\u2026(52 428 800 characters)";
        QTest::newRow("short") << u"setnotifytitle:a:b"_s << u"setnotifytitle:a:b"_s;
        QTest::newRow("stored value") << u"setlocaldata:token:secret"_s << u"setlocaldata:token"_s;
        QTest::newRow("long argument") << u"setnotifyhtml:"_s + big << u"setnotifyhtml:"_s + cut;
        QTest::newRow("long key") << u"setlocaldata:"_s + big + u":x" << u"setlocaldata:"_s + cut;
        QTest::newRow("no colon") << big << cut;
        QTest::newRow("pair kept whole") << QString(199, u'x') + u"\U0001F600x"
                                         << QString(199, u'x') + u"\u2026(202 characters)";
    }
    void commandLogLine()
    {
        QFETCH(QString, text);
        QFETCH(QString, line);
        QCOMPARE(::commandLogLine(text), line);
    }

    void pureFunctions_data()
    {
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        const auto row = [](const char *function, const QString &input, const QString &output) {
            QTest::addRow("%s %s", function, qPrintable(input))
                << QString::fromLatin1(function) << input << output;
        };
        row("originOf", u"https://Console.Example:443/x?y#z"_s, u"https://console.example"_s);
        row("originOf", u"http://h:8080/"_s, u"http://h:8080"_s);
        row("originOf", u"http://h:80/"_s, u"http://h"_s);
        row("originOf", u"about:blank"_s, u""_s);
        row("originOf", u"data:text/html,x"_s, u""_s);
        row("isOpenable", u"HTTPS://x/"_s, u"true"_s);
        row("isOpenable", u"mailto:x@y"_s, u"true"_s);
        row("isOpenable", u"http://[x"_s, u"false"_s);
        row("display", u"XDG_SESSION_TYPE=Wayland DISPLAY=:0"_s, u"xcb"_s);
        row("display", u"WAYLAND_DISPLAY=w DISPLAY=:0 QT_QPA_PLATFORM=wayland"_s, u""_s);
        row("display", u"WAYLAND_DISPLAY=w"_s, u""_s);
        row("display", u"DISPLAY=:0"_s, u""_s);
    }
    void pureFunctions()
    {
        QFETCH(QString, function);
        QFETCH(QString, input);
        QFETCH(QString, output);
        QString got;
        if (function == u"originOf") {
            got = consoleurl::originOf(QUrl(input));
        } else if (function == u"isOpenable") {
            got = desktoplink::isOpenable(QUrl(input)) ? u"true"_s : u"false"_s;
        } else {
            QProcessEnvironment environment;
            for (const QString &pair : input.split(u' '))
                environment.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
            got = QString::fromLatin1(displayplatform::preferred(environment));
        }
        QCOMPARE(got, output);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
