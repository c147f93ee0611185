// The window-free library: reverse look-ups, the script call that carries their
// results to the page, and alert sounds fetched into the temporary directory.
#include "httpserver.h"
#include "platform/platform.h"
#include "services/dnsthread.h"
#include "services/scriptcall.h"
#include "services/sound/soundthread.h"

#include <QJSEngine>
#include <QLocalServer>
#include <QNetworkProxy>
#include <QProcess>
#include <QSemaphore>
#include <QtTest>

#include <iostream>
#include <sstream>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

QSemaphore lookupGate;

// One playsound command, watched until its object is gone.
struct Sound
{
    explicit Sound(const QUrl &url) : object(new SoundThread), played(object, &SoundThread::played)
    {
        object->url = url.toString();
        object->start();
    }
    QPointer<SoundThread> object;
    QSignalSpy played;
};

} // namespace

class TestCore : public QObject
{
    Q_OBJECT

    QTemporaryDir config, runtime, temps;
    QProcess soundServer;
    std::unique_ptr<QTemporaryDir> tmp;
    HttpServer server;
    std::ostringstream cerr;
    std::streambuf *previousCerr = nullptr;
    QByteArray wav; // a sound of 100 ms

    QStringList log() const
    {
        return QString::fromLocal8Bit(cerr.str()).split(u'\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QFile tone(QFINDTESTDATA("data/tone.wav"));
        QVERIFY(tone.open(QIODevice::ReadOnly));
        wav = tone.readAll();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        // Without a runtime directory the audio library makes its own in TMPDIR.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        SoundThread::setDownloadDeadline(3000);
        previousCerr = std::cerr.rdbuf(cerr.rdbuf());
        // A sound server of the test's own, whose null sink plays sounds in their own time.
        soundServer.start(u"pulseaudio"_s,
                          {u"-n"_s, u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"-L"_s,
                           u"module-null-sink"_s, u"-L"_s, u"module-native-protocol-unix"_s});
        QVERIFY2(soundServer.waitForStarted(),
                 "pulseaudio did not start (see scripts/install-deps)");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.filePath(u"pulse/native"_s)), 30000);
    }
    void cleanupTestCase()
    {
        std::cerr.rdbuf(previousCerr);
        soundServer.terminate();
        soundServer.waitForFinished();
    }
    // Each test starts with an empty temporary directory and log.
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>(temps.filePath(u"XXXXXX"_s));
        qputenv("TMPDIR", QFile::encodeName(tmp->path()));
        cerr.str({});
    }

    void scriptCall_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quotes, backslashes") << u"it's \"q\" a\\b\\'c\\"_s;
        QTest::newRow("line breaks and separators") << u"a\nb\r\nc\td\u2028e\u2029f"_s;
        QTest::newRow("lone surrogates") << QString(u"\xd800x\xdc00"_s);
        QTest::newRow("controls") << QString::fromUtf16(u"\0\x01\x1f\x7f", 4);
        QTest::newRow("non-ASCII, markup") << u"h\u00f4te.\U0001F514 </script><!-- ${x} `y`"_s;
    }
    void scriptCall()
    {
        QFETCH(QString, text);
        QJSEngine engine;
        engine.evaluate(u"var got; function HandleQueryDns(a, n) { got = [a, n]; }"_s);
        for (const QString &name : {QString(u"name:"_s + text), QString()}) {
            const QString call = scriptcall::handleQueryDns(text, name);
            // A line separator ends a line of script in some engines.
            QVERIFY(!call.contains(QChar(0x2028)) && !call.contains(QChar(0x2029)));
            // The text is well-formed Unicode, so any transport to the page keeps it.
            const QJSValue result = engine.evaluate(QString::fromUtf8(call.toUtf8()));
            QVERIFY2(!result.isError(), qPrintable(result.toString()));
            QCOMPARE(engine.evaluate(u"got"_s).toVariant().toStringList(),
                     QStringList({text, name.isNull() ? u""_s : name}));
        }
    }

    void lookupLimit()
    {
        platform::setReverseResolver([](quint32) {
            lookupGate.acquire();
            return QString();
        });
        QList<QPointer<DnsThread>> workers;
        int answered = 0;
        for (int i = 0; i < 40; ++i) {
            workers.append(new DnsThread);
            workers.last()->address = u"10.0.0.1"_s;
            connect(workers.last(), &DnsThread::querydns, this, [&] { ++answered; });
            DnsThread::schedule(workers.last());
        }
        const auto running = std::count_if(workers.cbegin(), workers.cend(),
                                           [](const auto &w) { return w->isRunning(); });
        lookupGate.release(40);
        QCOMPARE(running, 32);
        QTRY_COMPARE(answered, 40);
        QTRY_VERIFY(std::all_of(workers.cbegin(), workers.cend(), [](auto &w) { return !w; }));
        platform::setReverseResolver(nullptr);
    }

    void systemResolverGivesNamesOnly()
    {
        // The child resolves from /etc/hosts alone, in a mount namespace of its own, so that
        // the system's DNS server is never asked; an address without a name gives no name.
        QProcess child;
        child.setWorkingDirectory(tmp->path());
        child.start(u"unshare"_s,
                    {u"-rm"_s, u"sh"_s, u"-c"_s,
                     u"echo 'hosts: files' >nss && mount --bind nss /etc/nsswitch.conf"
                     " && exec \"$0\" --resolve"_s,
                     QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForFinished(30000));
        if (child.exitCode() != 0)
            QSKIP(qPrintable(u"no private mount namespace: "_s +
                             QString::fromLocal8Bit(child.readAllStandardError())));
        QCOMPARE(child.readAllStandardOutput(), QByteArray("localhost||"));
    }

    void sounds_data()
    {
        QTest::addColumn<QByteArray>("path"); // held paths answer 100 bytes, then wait
        QTest::addColumn<QString>("taker");   // what holds the sound's name in the directory
        QTest::addColumn<QString>("logStart");
        const auto row = [](const char *tag, const char *path, const char *taker, const char *log) {
            QTest::newRow(tag) << QByteArray(path) << QString::fromLatin1(taker)
                               << QString::fromLatin1(log);
        };
        row("played, then again from disk", "/redirected/ding.wav", "", "Play file");
        row("404", "/none/ding.wav", "", "Error: HTTP 404 Not Found");
        row("dropped", "/held/ding.wav", "", "Error: ");
        row("stalled", "/held/ding.wav", "", "Error: The download did not finish within 3 s");
        for (const char *kind : {"socket", "fifo", "link", "dir"})
            row(kind, "/store/ding.wav", kind, "Unable to save the file");
        row("socket made while fetching", "/taken/ding.wav", "socket", "Unable to save the file");
    }
    void sounds()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, taker);
        QFETCH(QString, logStart);
        server.route("/redirected/ding.wav", "/store/ding.wav", HttpServer::Redirect);
        server.route("/store/ding.wav", wav);
        server.route("/held/ding.wav", wav, HttpServer::Hold);
        server.route("/taken/ding.wav", wav, HttpServer::Hold);
        const QString name = tmp->filePath(u"ding.wav"_s), target = tmp->filePath(u"target"_s);
        QLocalServer socket;
        const auto takeName = [&] {
            if (taker == u"socket")
                QVERIFY(socket.listen(name));
            else if (taker == u"fifo")
                QCOMPARE(mkfifo(QFile::encodeName(name).constData(), 0600), 0);
            else if (taker == u"dir")
                QVERIFY(QDir().mkdir(name));
            else if (taker == u"link")
                QVERIFY(QFile::link(target, name));
        };
        const bool during = path.startsWith("/taken"), ok = logStart == u"Play file";
        if (!during)
            takeName();
        const qsizetype requests = server.targets.size();
        Sound sound(server.url(QString::fromLatin1(path) + u"?v=2"));
        if (path.startsWith("/held") || during) {
            QTRY_COMPARE(server.targets.size(), requests + 1);
            takeName();
            server.sendHeld(during ? -1 : 100);
            if (QTest::currentDataTag() == QByteArray("dropped"))
                server.sendHeld(0);
        }
        struct stat before = {}, after = {}; // an entry the program did not write stays as it was
        lstat(QFile::encodeName(name).constData(), &before);
        QTRY_VERIFY_WITH_TIMEOUT(!sound.object, 30000);
        QVERIFY2(log().size() == 1 && log().constFirst().startsWith(logStart),
                 qPrintable(log().join(u'|')));
        QCOMPARE(sound.played, QList<QVariantList>(ok, {true}));
        lstat(QFile::encodeName(name).constData(), &after);
        QVERIFY(taker.isEmpty() ||
                (after.st_ino == before.st_ino && after.st_mode == before.st_mode));
        QVERIFY(!QFile::exists(target)); // nothing written through a link
        // Only a complete answer with a good status is kept, under the last segment's name.
        QCOMPARE(
            QDir(tmp->path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            ok || !taker.isEmpty() ? QStringList{u"ding.wav"_s} : QStringList());
        if (ok) {
            const QDeadlineTimer length(100);
            Sound again(server.url(u"/elsewhere/ding.wav"_s, u"localhost"_s));
            QTRY_VERIFY_WITH_TIMEOUT(!again.object, 30000);
            QCOMPARE(again.played, QList<QVariantList>({{true}}));
            QVERIFY(length.hasExpired()); // played to the end of its 100 ms
            QCOMPARE(server.targets.size(), requests + 2);
            QCOMPARE(log(), QStringList(2, u"Play file " + name));
        }
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--resolve") == 0) {
        for (const char *address : {"127.0.0.1", "10.0.0.6"})
            std::cout << qPrintable(platform::systemReverseLookup(platform::ipv4FromText(address)))
                      << '|';
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestCore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_core.moc"
