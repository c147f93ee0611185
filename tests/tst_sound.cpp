#include "httpserver.h"
#include "services/soundpath.h"
#include "services/soundthread.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <iostream>
#include <sstream>
#include <sys/stat.h>

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
    for (quint32 field : {16, 1 | 1 << 16, 8000, 16000, 2 | 16 << 16}) // PCM, mono, 16 bits
        appendLittleEndian<quint32>(wav, field);
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
    QVariantList outcomes() const
    {
        QVariantList ok;
        for (const QVariantList &args : played)
            ok.append(args.at(0));
        return ok;
    }
    QPointer<SoundThread> object;
    QSignalSpy finished;
    QSignalSpy played;
};

// The kind of directory entry at path, links not followed.
QString entryKind(const QString &path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    return S_ISREG(st.st_mode)    ? u"file"_qs
           : S_ISLNK(st.st_mode)  ? u"link"_qs
           : S_ISSOCK(st.st_mode) ? u"socket"_qs
           : S_ISFIFO(st.st_mode) ? u"fifo"_qs
                                  : u"other"_qs;
}

int countEntries(const char *dir)
{
    return QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::System).size();
}

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
    void streamsToDiskThenGivesUp();
    void failures_data();
    void failures();
    void unsaveable_data();
    void unsaveable();
    void concurrentFetchOfOneName_data();
    void concurrentFetchOfOneName();
    void redirectsAndTls();
    void floodStaysWithinLimits();
    void stuckPlayerIsReplaced();

private:
    QString tempFile(const QString &name) const
    {
        return QDir::toNativeSeparators(tempDir.path() + u'/' + name);
    }
    QStringList tempEntries() const
    {
        return QDir(tempDir.path())
            .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    }
    QByteArray contents(const QString &name) const
    {
        QFile f(tempFile(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // The size of each file in the temporary directory this process has open.
    QList<qint64> openFileSizes() const
    {
        QList<qint64> sizes;
        for (const QFileInfo &fd : QDir(u"/proc/self/fd"_qs).entryInfoList(QDir::System))
            if (fd.symLinkTarget().startsWith(tempDir.path() + u'/'))
                sizes.append(fd.size());
        return sizes;
    }

    QTemporaryDir tempDir;
    QTemporaryDir runtimeDir;
    HttpServer server;
    std::unique_ptr<CerrCapture> cerr;
    const QByteArray wav = makeWav(100);
};

void TestSound::initTestCase()
{
    QVERIFY(tempDir.isValid() && runtimeDir.isValid());
    qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
    QCOMPARE(QDir::tempPath(), QDir::cleanPath(tempDir.path()));
    // Without a runtime directory the audio library puts its own in TMPDIR.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
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
        QVERIFY(QFile::remove(tempDir.filePath(entry)) || QDir().rmdir(tempDir.filePath(entry)));
    server.reset();
    cerr = std::make_unique<CerrCapture>();
}

void TestSound::cleanup()
{
    cerr.reset();
    SoundThread::setDownloadDeadline(120 * 1000);
    SoundThread::setPlaybackDeadline(30 * 1000);
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
    QCOMPARE(soundpath::fileName(QUrl(url)), name);
    QCOMPARE(soundpath::fileName(QUrl(url)).isNull(), name.isNull());
    QCOMPARE(soundpath::filePath(QUrl(url)), name.isNull() ? QString() : tempFile(name));
}

void TestSound::fetchesOnceThenPlaysFromDisk()
{
    server.route(u"/sounds/ding.wav"_qs, HttpServer::Kind::Serve, wav);
    QUrl first = server.url(u"/sounds/ding.wav"_qs);
    first.setQuery(u"v=2"_qs);
    first.setUserName(u"someone"_qs);

    Sound fetched(first.toString());
    QTRY_VERIFY_WITH_TIMEOUT(fetched.gone(), 30000);
    QCOMPARE(server.requests, QList<QByteArray>{"GET /sounds/ding.wav HTTP/1.1"});
    QCOMPARE(fetched.finished.size(), 1);
    QCOMPARE(fetched.outcomes(), QVariantList{true});
    QCOMPARE(contents(u"ding.wav"_qs), wav);
    QCOMPARE(tempEntries(), QStringList{u"ding.wav"_qs});
    const QString playLine = u"Play file " + tempFile(u"ding.wav"_qs);
    QCOMPARE(cerr->lines(), QStringList{playLine});

    // Another host and directory, same last segment: played from disk at once.
    Sound present(u"http://localhost:" + QString::number(server.port()) + u"/other/ding.wav");
    QCOMPARE(cerr->lines(), QStringList({playLine, playLine}));
    QTRY_VERIFY_WITH_TIMEOUT(present.gone(), 30000);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(present.finished.size(), 0);
    QCOMPARE(present.outcomes(), QVariantList{true});
}

void TestSound::streamsToDiskThenGivesUp()
{
    SoundThread::setDownloadDeadline(4000);
    server.route(u"/slow.wav"_qs, HttpServer::Kind::Hold, wav);
    Sound sound(server.url(u"/slow.wav"_qs).toString());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
    Sound joined(server.url(u"/slow.wav"_qs).toString());
    for (qint64 size : {500, 1000}) {
        server.sendHeld(500);
        QTRY_COMPARE_WITH_TIMEOUT(openFileSizes(), QList<qint64>{size}, 30000);
        QCOMPARE(entryKind(tempFile(u"slow.wav"_qs)), QString());
    }
    // The server stalls: the deadline ends the fetch for both commands.
    QTRY_VERIFY_WITH_TIMEOUT(sound.gone() && joined.gone(), 30000);
    QCOMPARE(cerr->lines(), QStringList{u"Error: The download did not finish within 4 s"_qs});
    QCOMPARE(sound.played.size() + joined.played.size(), 0);
    QCOMPARE(tempEntries(), QStringList());
    QCOMPARE(openFileSizes(), QList<qint64>());
    QCOMPARE(server.requests.size(), 1);
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
        server.route(u"/dropped.wav"_qs, HttpServer::Kind::DropMidBody, wav);
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
    QTest::addColumn<QString>("kind"); // of what holds the name
    QTest::addColumn<bool>("duringFetch");
    QTest::newRow("dot dot") << u"/a/%2E%2E"_qs << QString() << false;
    QTest::newRow("escaped slash dot dot") << u"/a%2F.."_qs << QString() << false;
    QTest::newRow("name too long") << u"/" + QString(300, u'n') + u".wav" << QString() << false;
    for (const QString &kind : {u"socket"_qs, u"fifo"_qs, u"link"_qs, u"dangling"_qs, u"dir"_qs}) {
        QTest::addRow("%ls", qUtf16Printable(kind)) << u"/taken.wav"_qs << kind << false;
        QTest::addRow("%ls made while fetching", qUtf16Printable(kind))
            << u"/taken.wav"_qs << kind << true;
    }
}

void TestSound::unsaveable()
{
    QFETCH(QString, path);
    QFETCH(QString, kind);
    QFETCH(bool, duringFetch);
    const QString name = tempFile(u"taken.wav"_qs);
    QFile target(tempFile(u"target"_qs));
    QVERIFY(target.open(QIODevice::WriteOnly) && target.write("kept") == 4);
    target.close();
    QLocalServer socket;
    const auto takeName = [&] {
        if (kind == u"socket")
            QVERIFY(socket.listen(name));
        else if (kind == u"fifo")
            QCOMPARE(mkfifo(QFile::encodeName(name).constData(), 0600), 0);
        else if (kind == u"dir")
            QVERIFY(QDir().mkdir(name));
        else if (!kind.isEmpty())
            QVERIFY(QFile::link(kind == u"link" ? target.fileName() : u"nowhere"_qs, name));
    };
    server.route(path, HttpServer::Kind::Hold, wav);
    if (!duringFetch)
        takeName();
    Sound sound(server.url(path).toString());
    if (duringFetch) {
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
        takeName();
        server.sendHeld(-1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(sound.gone(), 30000);
    QCOMPARE(cerr->lines(), QStringList{u"Unable to save the file"_qs});
    QCOMPARE(server.requests.size(), duringFetch ? 1 : 0);
    const QString expected = kind == u"dangling" ? u"link"_qs : kind == u"dir" ? u"other"_qs : kind;
    QCOMPARE(entryKind(name), expected);
    QCOMPARE(contents(u"target"_qs), QByteArray("kept"));
    QCOMPARE(tempEntries().size(), 1 + !kind.isEmpty());
    QCOMPARE(openFileSizes(), QList<qint64>());
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
    server.route(u"/shared.wav"_qs, HttpServer::Kind::Hold, wav);
    Sound first(server.url(u"/shared.wav"_qs).toString());
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
        const QString playLine = u"Play file " + tempFile(u"shared.wav"_qs);
        QCOMPARE(cerr->lines(), QStringList({playLine, playLine}));
        QCOMPARE(first.outcomes(), QVariantList{true});
        QCOMPARE(second.outcomes(), QVariantList{true});
    }
}

void TestSound::redirectsAndTls()
{
    server.route(u"/moved.wav"_qs, HttpServer::Kind::Redirect, "/sounds/real.wav");
    server.route(u"/sounds/real.wav"_qs, HttpServer::Kind::Serve, wav);
    server.route(u"/to-ftp.wav"_qs, HttpServer::Kind::Redirect, "ftp://127.0.0.1/x.wav");

    Sound followed(server.url(u"/moved.wav"_qs).toString());
    Sound refused(server.url(u"/to-ftp.wav"_qs).toString());
    // A plain HTTP server behind an https URL must see a TLS handshake.
    Sound tls(server.url(u"/tls.wav"_qs, u"https"_qs).toString());
    QTRY_VERIFY_WITH_TIMEOUT(followed.gone() && refused.gone() && tls.gone(), 30000);
    QCOMPARE(server.requests.size(), 3);
    QCOMPARE(server.nonHttp.size(), 1);
    QCOMPARE(server.nonHttp.at(0).at(0), char(0x16)); // TLS handshake record
    QCOMPARE(followed.played.size(), 1);
    QCOMPARE(contents(u"moved.wav"_qs), wav);
    QCOMPARE(refused.played.size() + tls.played.size(), 0);
    QCOMPARE(tempEntries(), QStringList{u"moved.wav"_qs});
    QCOMPARE(cerr->lines().filter(u"Error: "_qs).size(), 2);
}

void TestSound::floodStaysWithinLimits()
{
    // Cached and fetched sounds, and failing fetches, all from one loop.
    SoundThread::setPlaybackDeadline(5000);
    const QByteArray tiny = makeWav(5);
    server.route(u"/cached.wav"_qs, HttpServer::Kind::Serve, tiny);
    Sound cached(server.url(u"/cached.wav"_qs).toString());
    QTRY_VERIFY_WITH_TIMEOUT(cached.gone(), 30000);
    const int idleFiles = countEntries("/proc/self/fd");
    const int idleThreads = countEntries("/proc/self/task");
    int maxFiles = 0, maxThreads = 0, ticks = 0;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
        maxFiles = qMax(maxFiles, countEntries("/proc/self/fd"));
        maxThreads = qMax(maxThreads, countEntries("/proc/self/task"));
        ++ticks;
    });
    sampler.start(20);

    constexpr int commands = 1500;
    QList<QPointer<SoundThread>> sounds;
    for (int i = 0; i < commands; ++i) {
        const QString path = i % 3 ? u"/f" + QString::number(i) + u".wav" : u"/cached.wav"_qs;
        if (i % 3 == 1)
            server.route(path, HttpServer::Kind::Serve, tiny);
        sounds.append(new SoundThread);
        sounds.last()->url = server.url(path).toString();
        sounds.last()->start();
    }
    // The GUI thread goes on answering while the commands are worked off.
    QTRY_VERIFY_WITH_TIMEOUT(ticks > 10, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(sounds.cbegin(), sounds.cend(), [](const auto &s) { return s.isNull(); }),
        600000);
    const QStringList lines = cerr->lines();
    // Players the media backend leaves stuck add an error line each.
    QCOMPARE(lines.filter(u"Play file "_qs).size(), 1 + 2 * commands / 3);
    QCOMPARE(lines.filter(u"Error: HTTP 404"_qs).size(), commands / 3);
    QCOMPARE(lines.filter(u"Error: "_qs).size(), lines.size() - 1 - 2 * commands / 3);
    QCOMPARE_LE(maxFiles, idleFiles + 256);
    QCOMPARE_LE(maxThreads, idleThreads + 40);
}

void TestSound::stuckPlayerIsReplaced()
{
    server.route(u"/ding.wav"_qs, HttpServer::Kind::Serve, wav);
    const QString url = server.url(u"/ding.wav"_qs).toString();
    Sound fetched(url);
    QTRY_VERIFY_WITH_TIMEOUT(fetched.gone(), 30000);

    // More players than are ever alive at once miss their deadline in turn.
    SoundThread::setPlaybackDeadline(0);
    std::vector<std::unique_ptr<Sound>> missed;
    for (int i = 0; i <= SoundThread::maxPlayers; ++i)
        missed.push_back(std::make_unique<Sound>(url));
    for (const auto &sound : missed) {
        QTRY_VERIFY_WITH_TIMEOUT(sound->gone(), 30000);
        QCOMPARE(sound->outcomes(), QVariantList{false});
    }
    SoundThread::setPlaybackDeadline(30 * 1000);
    Sound later(url);
    QTRY_VERIFY_WITH_TIMEOUT(later.gone(), 30000);
    QCOMPARE(later.outcomes(), QVariantList{true});
    QCOMPARE(cerr->lines().filter(u"Error: The sound did not play to its end"_qs).size(),
             SoundThread::maxPlayers + 1);
}

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
