#include "httpserver.h"
#include "services/soundpath.h"
#include "services/soundthread.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <iostream>
#include <sstream>

namespace {

template <typename T> void appendLittleEndian(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof bytes);
}

// A valid PCM WAV: 8 kHz, mono, 16 bits, a square wave of the given length.
QByteArray makeWav(int ms)
{
    QByteArray samples;
    for (int i = 0; i < 8 * ms; ++i)
        appendLittleEndian<qint16>(samples, (i / 10) % 2 ? 4000 : -4000);
    QByteArray wav("RIFF");
    appendLittleEndian<quint32>(wav, 36 + samples.size());
    wav += "WAVEfmt ";
    appendLittleEndian<quint32>(wav, 16);    // format chunk size
    appendLittleEndian<quint16>(wav, 1);     // PCM
    appendLittleEndian<quint16>(wav, 1);     // channels
    appendLittleEndian<quint32>(wav, 8000);  // sample rate
    appendLittleEndian<quint32>(wav, 16000); // bytes per second
    appendLittleEndian<quint16>(wav, 2);     // bytes per frame
    appendLittleEndian<quint16>(wav, 16);    // bits per sample
    wav += "data";
    appendLittleEndian<quint32>(wav, samples.size());
    return wav + samples;
}

// What the sound objects write to std::cerr while it lives.
class CerrCapture
{
public:
    CerrCapture() : previous(std::cerr.rdbuf(buffer.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(previous); }
    QStringList lines() const
    {
        return QString::fromLocal8Bit(buffer.str()).split(u'\n', Qt::SkipEmptyParts);
    }

private:
    std::ostringstream buffer;
    std::streambuf *previous;
};

// One playsound command, watched until its object is gone.
struct Sound
{
    explicit Sound(const QString &url)
        : object(new SoundThread), finished(object, &SoundThread::finished),
          played(object, &SoundThread::played)
    {
        object->url = url;
        object->start();
    }
    bool gone() const { return object.isNull(); }
    QPointer<SoundThread> object;
    QSignalSpy finished;
    QSignalSpy played;
};

} // namespace

class TestSound : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void mapping_data();
    void mapping();
    void fetchesOnceThenPlaysFromDisk();
    void streamsIntoPartialFile();
    void failures_data();
    void failures();
    void unsaveable_data();
    void unsaveable();
    void concurrentFetchOfOneName_data();
    void concurrentFetchOfOneName();
    void redirects();
    void httpsSpeaksTls();

private:
    QString tempFile(const QString &name) const
    {
        return QDir::toNativeSeparators(tempDir.path() + u'/' + name);
    }
    QStringList tempEntries() const
    {
        return QDir(tempDir.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QByteArray contents(const QString &name) const
    {
        QFile f(tempFile(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    QTemporaryDir tempDir;
    HttpServer server;
    std::unique_ptr<CerrCapture> cerr;
    const QByteArray wav = makeWav(100);
};

void TestSound::initTestCase()
{
    QVERIFY(tempDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
    QCOMPARE(QDir::tempPath(), QDir::cleanPath(tempDir.path()));
    // Qt 6.4's FFmpeg backend crashes without an audio device; GStreamer plays
    // into nothing.
    if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
        qputenv("QT_MEDIA_BACKEND", "gstreamer");
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QVERIFY(server.listen());
}

void TestSound::init()
{
    for (const QString &entry : tempEntries())
        QVERIFY(QFile::remove(tempDir.filePath(entry)));
    server.reset();
    cerr = std::make_unique<CerrCapture>();
}

void TestSound::cleanup()
{
    cerr.reset();
}

void TestSound::mapping_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");
    QTest::newRow("directories") << u"http://h/sounds/ding.wav"_qs << u"ding.wav"_qs;
    QTest::newRow("query, fragment") << u"http://h/a/b.wav?v=2#x"_qs << u"b.wav"_qs;
    QTest::newRow("other host, same name")
        << u"https://u:p@other:8443/c/ding.wav"_qs << u"ding.wav"_qs;
    QTest::newRow("no path") << u"http://h"_qs << u"index.html"_qs;
    QTest::newRow("root") << u"http://h/"_qs << u"index.html"_qs;
    QTest::newRow("trailing slash") << u"http://h/dir/"_qs << u"index.html"_qs;
    QTest::newRow("empty") << u""_qs << u"index.html"_qs;
    QTest::newRow("escapes") << u"http://h/a%20b.wav"_qs << u"a b.wav"_qs;
    QTest::newRow("utf-8") << u"http://h/%C3%A9t%C3%A9.wav"_qs << u"\u00e9t\u00e9.wav"_qs;
    QTest::newRow("escaped slash") << u"http://h/x%2Fy.wav"_qs << u"y.wav"_qs;
    QTest::newRow("dot dot") << u"http://h/a/.."_qs << QString();
    QTest::newRow("escaped dot dot") << u"http://h/a/%2E%2E"_qs << QString();
    QTest::newRow("slash dot dot") << u"http://h/a%2F.."_qs << QString();
    QTest::newRow("dot") << u"http://h/."_qs << QString();
    QTest::newRow("backslash") << u"http://h/..%5C..%5Cx"_qs << QString();
    QTest::newRow("nul") << u"http://h/x%00.wav"_qs << QString();
}

void TestSound::mapping()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    const QUrl u(url);
    QCOMPARE(soundpath::fileName(u), name);
    QCOMPARE(soundpath::fileName(u).isNull(), name.isNull());
    QCOMPARE(soundpath::filePath(u), name.isNull() ? QString() : tempFile(name));
}

void TestSound::fetchesOnceThenPlaysFromDisk()
{
    server.route(QStringLiteral("/sounds/ding.wav"), HttpServer::Kind::Serve, wav);
    QUrl first = server.url(QStringLiteral("/sounds/ding.wav"));
    first.setQuery(QStringLiteral("v=2"));
    first.setUserName(QStringLiteral("someone"));

    Sound fetched(first.toString());
    QTRY_VERIFY_WITH_TIMEOUT(fetched.gone(), 30000);
    QCOMPARE(server.requests, QList<QByteArray>{"GET /sounds/ding.wav HTTP/1.1"});
    QCOMPARE(fetched.finished.size(), 1);
    QCOMPARE(fetched.played.size(), 1);
    QCOMPARE(fetched.played.at(0).at(0), true);
    QCOMPARE(contents(QStringLiteral("ding.wav")), wav);
    QCOMPARE(tempEntries(), QStringList{QStringLiteral("ding.wav")});
    const QString playLine = u"Play file " + tempFile(QStringLiteral("ding.wav"));
    QCOMPARE(cerr->lines(), QStringList{playLine});

    // Another host and directory, same last segment: played from disk at once.
    Sound present(u"http://localhost:" + QString::number(server.port()) + u"/other/ding.wav");
    QCOMPARE(cerr->lines(), QStringList({playLine, playLine}));
    QTRY_VERIFY_WITH_TIMEOUT(present.gone(), 30000);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(present.finished.size(), 0);
    QCOMPARE(present.played.size(), 1);
    QCOMPARE(present.played.at(0).at(0), true);
}

void TestSound::streamsIntoPartialFile()
{
    server.route(QStringLiteral("/slow.wav"), HttpServer::Kind::Hold, wav);
    Sound sound(server.url(QStringLiteral("/slow.wav")).toString());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);

    const auto partSize = [this]() -> qint64 {
        const QStringList parts =
            QDir(tempDir.path()).entryList({QStringLiteral("slow.wav.part-*")});
        return parts.size() == 1 ? QFileInfo(tempDir.filePath(parts.at(0))).size() : -1;
    };
    for (qint64 size : {500, 1000}) {
        server.sendHeld(500);
        QTRY_COMPARE_WITH_TIMEOUT(partSize(), size, 30000);
        QVERIFY(!QFileInfo::exists(tempFile(QStringLiteral("slow.wav"))));
        QCOMPARE(cerr->lines(), QStringList());
    }
    server.sendHeld(-1);
    QTRY_VERIFY_WITH_TIMEOUT(sound.gone(), 30000);
    QCOMPARE(tempEntries(), QStringList{QStringLiteral("slow.wav")});
    QCOMPARE(contents(QStringLiteral("slow.wav")), wav);
    QCOMPARE(sound.played.size(), 1);
}

void TestSound::failures_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("logStart");
    QTest::addColumn<bool>("reachesServer");

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString refused = u"http://127.0.0.1:" + QString::number(closed.serverPort()) + u"/r.wav";
    closed.close();

    QTest::newRow("404") << u"/missing.wav"_qs << u"Error: HTTP 404 Not Found"_qs << true;
    QTest::newRow("dropped mid-body") << u"/dropped.wav"_qs << u"Error: "_qs << true;
    QTest::newRow("refused") << refused << u"Error: "_qs << false;
    QTest::newRow("ftp") << u"ftp://127.0.0.1/x.wav"_qs << u"Error: Unsupported URL scheme"_qs
                         << false;
    QTest::newRow("file") << u"file:///etc/hostname"_qs << u"Error: Unsupported URL scheme"_qs
                          << false;
    QTest::newRow("no host") << u"http:///x.wav"_qs << u"Error: "_qs << false;
    QTest::newRow("empty") << u""_qs << u"Error: "_qs << false;
}

void TestSound::failures()
{
    QFETCH(QString, url);
    QFETCH(QString, logStart);
    QFETCH(bool, reachesServer);
    if (url.startsWith(u'/')) {
        server.route(QStringLiteral("/dropped.wav"), HttpServer::Kind::DropMidBody, wav);
        url = server.url(url).toString();
    }

    Sound failed(url);
    QTRY_VERIFY_WITH_TIMEOUT(failed.gone(), 30000);
    QCOMPARE(cerr->lines().size(), 1);
    QVERIFY2(cerr->lines().at(0).startsWith(logStart), qPrintable(cerr->lines().at(0)));
    QCOMPARE(failed.finished.size(), 1);
    QCOMPARE(failed.played.size(), 0);
    QCOMPARE(tempEntries(), QStringList());
    QCOMPARE(server.requests.size(), reachesServer ? 1 : 0);

    if (reachesServer) {
        // Nothing was kept, so the next command fetches again.
        server.route(QUrl(url).path(), HttpServer::Kind::Serve, wav);
        Sound retry(url);
        QTRY_VERIFY_WITH_TIMEOUT(retry.gone(), 30000);
        QCOMPARE(server.requests.size(), 2);
        QCOMPARE(retry.played.size(), 1);
        QCOMPARE(contents(QUrl(url).fileName()), wav);
    }
}

void TestSound::unsaveable_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("dot dot") << "/a/%2E%2E";
    QTest::newRow("escaped slash dot dot") << "/a%2F..";
    QTest::newRow("name too long") << u"/" + QString(300, u'n') + u".wav";
}

void TestSound::unsaveable()
{
    QFETCH(QString, path);
    server.route(path, HttpServer::Kind::Serve, wav);
    Sound sound(server.url(path).toString());
    QTRY_VERIFY_WITH_TIMEOUT(sound.gone(), 30000);
    QCOMPARE(cerr->lines(), QStringList{QStringLiteral("Unable to save the file")});
    QCOMPARE(server.requests.size(), 0);
    QCOMPARE(sound.finished.size(), 0);
    QCOMPARE(tempEntries(), QStringList());
}

void TestSound::concurrentFetchOfOneName_data()
{
    QTest::addColumn<bool>("fails");
    QTest::newRow("fetch succeeds") << false;
    QTest::newRow("fetch fails") << true;
}

void TestSound::concurrentFetchOfOneName()
{
    QFETCH(bool, fails);
    server.route(QStringLiteral("/shared.wav"), HttpServer::Kind::Hold, wav);
    Sound first(server.url(QStringLiteral("/shared.wav")).toString());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
    server.sendHeld(100);
    Sound second(u"http://localhost:" + QString::number(server.port()) + u"/elsewhere/shared.wav");
    QVERIFY(!second.gone());
    QCOMPARE(cerr->lines(), QStringList());

    if (fails)
        server.dropHeld();
    else
        server.sendHeld(-1);
    QTRY_VERIFY_WITH_TIMEOUT(first.gone() && second.gone(), 30000);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(first.finished.size(), 1);
    QCOMPARE(second.finished.size(), 1);
    if (fails) {
        QCOMPARE(cerr->lines().size(), 1);
        QVERIFY(cerr->lines().at(0).startsWith(u"Error: "));
        QCOMPARE(first.played.size() + second.played.size(), 0);
        QCOMPARE(tempEntries(), QStringList());
    } else {
        const QString playLine = u"Play file " + tempFile(QStringLiteral("shared.wav"));
        QCOMPARE(cerr->lines(), QStringList({playLine, playLine}));
        QCOMPARE(first.played.size(), 1);
        QCOMPARE(second.played.size(), 1);
        QCOMPARE(second.played.at(0).at(0), true);
    }
}

void TestSound::redirects()
{
    server.route(QStringLiteral("/moved.wav"), HttpServer::Kind::Redirect, "/sounds/real.wav");
    server.route(QStringLiteral("/sounds/real.wav"), HttpServer::Kind::Serve, wav);
    server.route(QStringLiteral("/to-ftp.wav"), HttpServer::Kind::Redirect,
                 "ftp://127.0.0.1/x.wav");

    Sound followed(server.url(QStringLiteral("/moved.wav")).toString());
    Sound refused(server.url(QStringLiteral("/to-ftp.wav")).toString());
    QTRY_VERIFY_WITH_TIMEOUT(followed.gone() && refused.gone(), 30000);
    QCOMPARE(server.requests.size(), 3);
    QCOMPARE(followed.played.size(), 1);
    QCOMPARE(contents(QStringLiteral("moved.wav")), wav);
    QCOMPARE(refused.played.size(), 0);
    QCOMPARE(tempEntries(), QStringList{QStringLiteral("moved.wav")});
    QCOMPARE(cerr->lines().filter(QStringLiteral("Error: ")).size(), 1);
}

void TestSound::httpsSpeaksTls()
{
    // A plain HTTP server behind an https URL must see a TLS handshake.
    Sound sound(server.url(QStringLiteral("/tls.wav"), QStringLiteral("https")).toString());
    QTRY_VERIFY_WITH_TIMEOUT(sound.gone(), 30000);
    QCOMPARE(server.requests, QList<QByteArray>());
    QCOMPARE(server.nonHttp.size(), 1);
    QCOMPARE(server.nonHttp.at(0).at(0), char(0x16)); // TLS handshake record
    QCOMPARE(cerr->lines().size(), 1);
    QVERIFY(cerr->lines().at(0).startsWith(u"Error: "));
    QCOMPARE(sound.played.size(), 0);
}

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
