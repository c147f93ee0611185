// Alert sounds fetched into the temporary directory and played, to a null sink of a PulseAudio
// server that the test starts in its own runtime directory.
#include "httpserver.h"
#include "services/sound/soundthread.h"

#include <QLocalServer>
#include <QNetworkProxy>
#include <QProcess>
#include <QtTest>

#include <iostream>
#include <sstream>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

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

class TestSound : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime, temps;
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

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
