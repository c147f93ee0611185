#include "httpserver.h"
#include "services/soundpath.h"
#include "services/soundthread.h"

#include <QLocalServer>
#include <QNetworkProxy>
#include <QtTest>

#include <iostream>
#include <sstream>
#include <sys/stat.h>

#define WAIT(condition) QTRY_VERIFY_WITH_TIMEOUT(condition, 30000)

namespace {

// A valid PCM WAV: 8 kHz, mono, 16 bits, a square wave of the given length.
QByteArray makeWav(int ms)
{
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + 16 * ms);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(16 * ms);
    for (int i = 0; i < 8 * ms; ++i)
        out << qint16((i / 10) % 2 ? 4000 : -4000);
    return wav;
}

// What the sound objects write to std::cerr while it lives.
struct CerrCapture
{
    std::ostringstream buffer;
    std::streambuf *previous = std::cerr.rdbuf(buffer.rdbuf());
    ~CerrCapture() { std::cerr.rdbuf(previous); }
    QStringList lines() const
    {
        return QString::fromLocal8Bit(buffer.str()).split(u'\n', Qt::SkipEmptyParts);
    }
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
                                  : u"dir"_qs;
}

int countEntries(const char *dir)
{
    return QDir(QString::fromLatin1(dir)).entryList(QDir::AllEntries | QDir::System).size();
}

} // namespace

class TestSound : public QObject
{
    Q_OBJECT

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
        const QDir fds(u"/proc/self/fd"_qs);
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System))
            if (fd.symLinkTarget().startsWith(tempDir.path() + u'/'))
                sizes.append(fd.size());
        return sizes;
    }
    QString at(const QString &path) const { return server.url(path).toString(); }

    QTemporaryDir tempDir;
    QTemporaryDir runtimeDir;
    HttpServer server;
    std::unique_ptr<CerrCapture> cerr;
    const QByteArray wav = makeWav(100);

private slots:
    void initTestCase()
    {
        QVERIFY(tempDir.isValid() && runtimeDir.isValid());
        qputenv("TMPDIR", QFile::encodeName(tempDir.path()));
        // Without a runtime directory the audio library makes its own in TMPDIR.
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
        // Qt 6.4's FFmpeg backend crashes without an audio device.
        if (!qEnvironmentVariableIsSet("QT_MEDIA_BACKEND"))
            qputenv("QT_MEDIA_BACKEND", "gstreamer");
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    void init()
    {
        for (const QString &entry : tempEntries())
            QVERIFY(QFile::remove(tempDir.filePath(entry)) ||
                    QDir().rmdir(tempDir.filePath(entry)));
        server.reset();
        cerr = std::make_unique<CerrCapture>();
    }

    void cleanup()
    {
        cerr.reset();
        SoundThread::setDownloadDeadline(120 * 1000);
        SoundThread::setPlaybackDeadline(30 * 1000);
    }

    void fetchesOnceThenPlaysFromDisk()
    {
        server.route(u"/sounds/ding.wav"_qs, HttpServer::Kind::Redirect, "/store/real.wav");
        server.route(u"/store/real.wav"_qs, HttpServer::Kind::Serve, wav);
        Sound fetched(at(u"/sounds/ding.wav?v=2"_qs).replace(u"//"_qs, u"//someone@"_qs));
        WAIT(fetched.gone());
        QCOMPARE(server.targets, QList<QByteArray>({"/sounds/ding.wav", "/store/real.wav"}));
        QCOMPARE(fetched.outcomes(), QVariantList{true});
        QCOMPARE(contents(u"ding.wav"_qs), wav);
        QCOMPARE(tempEntries(), QStringList{u"ding.wav"_qs});
        const QString playLine = u"Play file " + tempFile(u"ding.wav"_qs);
        QCOMPARE(cerr->lines(), QStringList{playLine});

        // Another host and directory, same last segment: played from disk at once.
        Sound present(u"http://localhost:" + QString::number(server.port()) + u"/x/ding.wav");
        QCOMPARE(cerr->lines(), QStringList({playLine, playLine}));
        WAIT(present.gone());
        QCOMPARE(server.requests.size(), 2);
        QCOMPARE(present.outcomes(), QVariantList{true});
    }

    void failures_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("logStart");
        QTest::newRow("404") << u"/missing.wav"_qs << u"Error: HTTP 404 Not Found"_qs;
        QTest::newRow("redirect to ftp") << u"/to-ftp.wav"_qs << u"Error: "_qs;
        QTest::newRow("https to plain HTTP")
            << server.url(u"/tls.wav"_qs, u"https"_qs).toString() << u"Error: "_qs;
        QTest::newRow("ftp") << u"ftp://127.0.0.1/x.wav"_qs << u"Error: Unsupported URL"_qs;
        QTest::newRow("no host") << u"http:///x.wav"_qs << u"Error: "_qs;
        QTest::newRow("empty") << u""_qs << u"Error: "_qs;
    }

    void failures()
    {
        QFETCH(QString, url);
        QFETCH(QString, logStart);
        const bool reachesServer = url.startsWith(u'/');
        if (reachesServer) {
            server.route(u"/to-ftp.wav"_qs, HttpServer::Kind::Redirect, "ftp://127.0.0.1/x");
            url = at(url);
        }
        Sound failed(url);
        WAIT(failed.gone());
        QCOMPARE(cerr->lines().size(), 1);
        QVERIFY2(cerr->lines().at(0).startsWith(logStart), qPrintable(cerr->lines().at(0)));
        QCOMPARE(failed.played.size() + tempEntries().size(), 0);
        QCOMPARE(server.requests.size(), int(reachesServer));
        // An https URL speaks TLS, even to a server that does not.
        QCOMPARE(server.nonHttp.size(), int(url.startsWith(u"https")));

        if (reachesServer) {
            // Nothing was kept, so the next command fetches again.
            server.route(QUrl(url).path(), HttpServer::Kind::Serve, wav);
            Sound retry(url);
            WAIT(retry.gone());
            QCOMPARE(server.requests.size(), 2);
            QCOMPARE(contents(QUrl(url).fileName()), wav);
        }
    }

    void unsaveable_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("kind"); // of what holds the name
        QTest::addColumn<bool>("duringFetch");
        for (const QString &path : {u"/a/%2E%2E"_qs, u"/..%5C..%5Cx"_qs, u"/x%00.wav"_qs})
            QTest::addRow("%s", qPrintable(path)) << path << QString() << false;
        QTest::newRow("name too long") << u"/" + QString(300, u'n') << QString() << false;
        for (const QString &kind :
             {u"socket"_qs, u"fifo"_qs, u"link"_qs, u"dangling"_qs, u"dir"_qs}) {
            QTest::addRow("%s", qPrintable(kind)) << u"/taken.wav"_qs << kind << false;
            QTest::addRow("%s made while fetching", qPrintable(kind))
                << u"/taken.wav"_qs << kind << true;
        }
    }

    void unsaveable()
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
        server.route(path, duringFetch ? HttpServer::Kind::Hold : HttpServer::Kind::Serve, wav);
        if (!duringFetch)
            takeName();
        Sound sound(at(path));
        if (duringFetch) {
            QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
            takeName();
            server.sendHeld(-1);
        }
        WAIT(sound.gone());
        QCOMPARE(cerr->lines(), QStringList{u"Unable to save the file"_qs});
        QCOMPARE(entryKind(name), kind == u"dangling" ? u"link"_qs : kind);
        QCOMPARE(contents(u"target"_qs), QByteArray("kept"));
        QCOMPARE(tempEntries().size(), 1 + !kind.isEmpty());
        QCOMPARE(openFileSizes(), QList<qint64>());
    }

    void concurrentFetchOfOneName_data()
    {
        QTest::addColumn<QString>("end"); // of the held reply
        QTest::addColumn<QString>("log");
        const QString play = u"Play file " + tempFile(u"shared.wav"_qs);
        QTest::newRow("complete") << u"complete"_qs << play + u'\n' + play;
        QTest::newRow("dropped") << u"dropped"_qs << u"Error: "_qs;
        QTest::newRow("stalled") << u"stalled"_qs
                                 << u"Error: The download did not finish within 3 s"_qs;
    }

    void concurrentFetchOfOneName()
    {
        QFETCH(QString, end);
        QFETCH(QString, log);
        SoundThread::setDownloadDeadline(end == u"stalled" ? 3000 : 30000);
        server.route(u"/shared.wav"_qs, HttpServer::Kind::Hold, wav);
        Sound first(at(u"/shared.wav"_qs));
        QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 30000);
        server.sendHeld(100);
        // Written to disk as it comes, under no name of its own yet.
        QTRY_COMPARE_WITH_TIMEOUT(openFileSizes(), QList<qint64>{100}, 30000);
        QCOMPARE(tempEntries(), QStringList());
        Sound second(u"http://localhost:" + QString::number(server.port()) + u"/x/shared.wav");
        QCOMPARE(cerr->lines(), QStringList());
        if (end == u"complete")
            server.sendHeld(-1);
        else if (end == u"dropped")
            server.dropHeld();
        WAIT(first.gone() && second.gone());
        QCOMPARE(server.requests.size(), 1);
        QVERIFY2(cerr->lines().join(u'\n').startsWith(log), qPrintable(cerr->lines().join(u'|')));
        const bool ok = end == u"complete";
        QCOMPARE(first.outcomes() + second.outcomes(),
                 ok ? QVariantList({true, true}) : QVariantList());
        QCOMPARE(tempEntries(), ok ? QStringList{u"shared.wav"_qs} : QStringList());
        QCOMPARE(openFileSizes(), QList<qint64>());
    }

    void stuckPlayerIsReplaced()
    {
        server.route(u"/ding.wav"_qs, HttpServer::Kind::Serve, wav);
        Sound fetched(at(u"/ding.wav"_qs));
        WAIT(fetched.gone());
        // More players than are ever alive at once miss their deadline in turn.
        SoundThread::setPlaybackDeadline(0);
        std::vector<std::unique_ptr<Sound>> missed;
        for (int i = 0; i <= SoundThread::maxPlayers; ++i)
            missed.push_back(std::make_unique<Sound>(at(u"/ding.wav"_qs)));
        for (const auto &sound : missed) {
            WAIT(sound->gone());
            QCOMPARE(sound->outcomes(), QVariantList{false});
        }
        SoundThread::setPlaybackDeadline(30 * 1000);
        Sound later(at(u"/ding.wav"_qs));
        WAIT(later.gone());
        QCOMPARE(later.outcomes(), QVariantList{true});
        QCOMPARE(cerr->lines().filter(u"Error: "_qs).size(), SoundThread::maxPlayers + 1);
    }

    void floodStaysWithinLimits()
    {
        // Cached and fetched sounds, and failing fetches, all from one loop.
        SoundThread::setPlaybackDeadline(5000);
        const QByteArray tiny = makeWav(5);
        server.route(u"/cached.wav"_qs, HttpServer::Kind::Serve, tiny);
        Sound cached(at(u"/cached.wav"_qs));
        WAIT(cached.gone());
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
            const QString path = i % 3 ? u"/f" + QString::number(i) : u"/cached.wav"_qs;
            if (i % 3 == 1)
                server.route(path, HttpServer::Kind::Serve, tiny);
            sounds.append(new SoundThread);
            sounds.last()->url = at(path);
            sounds.last()->start();
        }
        // The GUI thread goes on answering while the commands are worked off.
        WAIT(ticks > 10);
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(sounds.cbegin(), sounds.cend(), [](const auto &s) { return s.isNull(); }),
            600000);
        // One line each; a player the media backend leaves stuck adds an error.
        const QStringList lines = cerr->lines();
        QCOMPARE(lines.filter(u"Play file "_qs).size(), 1 + 2 * commands / 3);
        QCOMPARE(lines.filter(u"Error: HTTP 404"_qs).size(), commands / 3);
        QCOMPARE(lines.filter(u"Error: "_qs).size(), lines.size() - 1 - 2 * commands / 3);
        QCOMPARE_LE(maxFiles, idleFiles + 256);
        QCOMPARE_LE(maxThreads, idleThreads + 40);
    }
};

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"
