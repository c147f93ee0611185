// Alert sounds fetched into the temporary directory and played, to a null sink of a PulseAudio
// server that the test starts in its own runtime directory; the cache's file names.
#include "httpserver.h"
#include "services/sound/soundservice.h"
#include "services/soundpath.h"

#include <QLocalServer>
#include <QNetworkProxy>
#include <QProcess>
#include <QtTest>

#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

class TestSound : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime, temps;
    QProcess soundServer;
    std::unique_ptr<QTemporaryDir> tmp;
    HttpServer server;
    SoundService service;
    QSignalSpy ended{&service, &SoundService::ended};
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
        // Without a runtime directory the audio library makes its own in TMPDIR.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        service.setDownloadDeadline(3000);
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

    void soundFileNames()
    {
        QStringList names;
        for (const char *url : {"/a/", "/snd.php?", "/snd?id=1", "/?id=1", "/.wav", "/%2E%2E",
                                "/a%5Cb", "/a%0Ab", "/a%00b"})
            names << soundpath::fileName(QUrl(QString::fromLatin1(url)));
        QCOMPARE(names.join(u'|'), u"index.html|snd.php|snd.d9fc91d4|index.d9fc91d4.html|||||"_s);
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
        // The player opens each of these (and would wait for a FIFO's writer beyond its deadline).
        for (const char *kind : {"socket", "fifo", "link", "other owner", "two links"})
            row(kind, "/store/ding.wav", kind, "Unable to save the file");
        row("socket made while fetching", "/held/ding.wav", "socket", "Unable to save the file");
    }
    void sounds()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, taker);
        QFETCH(QString, logStart);
        if (taker == u"other owner" && geteuid() != 0)
            QSKIP("only root can give a file to another user");
        server.route("/redirected/ding.wav", "/store/ding.wav", HttpServer::Redirect);
        server.route("/store/ding.wav", wav);
        server.route("/held/ding.wav", wav, HttpServer::Hold);
        const QString name = tmp->filePath(u"ding.wav"_s), target = tmp->path() + u'2';
        QLocalServer socket;
        const auto takeName = [&] {
            if (taker == u"socket")
                QVERIFY(socket.listen(name));
            else if (taker == u"fifo")
                QCOMPARE(mkfifo(qPrintable(name), 0600), 0);
            else if (taker == u"link")
                QVERIFY(QFile::link(target, name));
            else if (!taker.isEmpty()) // a sound, but not one that the program wrote
                QVERIFY(QFile::copy(QFINDTESTDATA("data/tone.wav"), name));
            if (taker == u"other owner")
                QCOMPARE(chown(qPrintable(name), 65534, 65534), 0);
            else if (taker == u"two links")
                QCOMPARE(link(qPrintable(name), qPrintable(target)), 0);
        };
        const bool held = path.startsWith("/held"), ok = logStart == u"Play file";
        if (!held)
            takeName();
        const qsizetype requests = server.targets.size();
        const QUrl url = server.url(QString::fromLatin1(path));
        service.play(url.toString());
        if (held) { // the name is taken while the answer is under way
            QTRY_COMPARE(server.targets.size(), requests + 1);
            takeName();
            server.sendHeld(taker.isEmpty() ? 100 : -1);
            if (QTest::currentDataTag() == QByteArray("dropped"))
                server.sendHeld(0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
        QVERIFY2(log().size() == 1 && log().constFirst().startsWith(logStart),
                 qPrintable(log().join(u'|')));
        QCOMPARE(ended.takeFirst(), QVariantList({url.toString(), ok}));
        // Only a complete answer with a good status is kept, under the last segment's name.
        QCOMPARE(
            QDir(tmp->path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            ok || !taker.isEmpty() ? QStringList{u"ding.wav"_s} : QStringList());
        if (ok) {
            // Again from the disk, whatever the host (the other host's path would be 404); with a
            // query, another sound, fetched into a file of its own.
            const QDeadlineTimer length(100);
            const QUrl again = server.url(u"/elsewhere/ding.wav"_s, u"localhost"_s),
                       query = server.url(u"/store/ding.wav?id=1"_s);
            server.route("/store/ding.wav", wav + 'x'); // part of a frame: not for an audio sink
            for (const QUrl &next : {again, query}) {
                service.play(next.toString());
                QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 30000);
                QCOMPARE(ended.takeFirst(), QVariantList({next.toString(), true}));
                QVERIFY(next == query || length.hasExpired()); // played to the end of its 100 ms
            }
            QCOMPARE(log(), QStringList(2, u"Play file " + name)
                                << u"Play file " + tmp->filePath(u"ding.d9fc91d4.wav"_s));
        }
    }

    void soundsFullAtTheBound()
    {
        // They all join one fetch, which ends only once the test is back in the event loop.
        int plays = 0;
        for (; !service.isFull() && plays <= SoundService::maxWaiting; ++plays)
            service.play(server.url(u"/none/ding.wav"_s).toString());
        QCOMPARE(plays, SoundService::maxWaiting);
        QVERIFY(QSignalSpy(&service, &SoundService::roomAvailable).wait(30000));
        QCOMPARE(ended.size(), SoundService::maxWaiting);
    }
};

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
