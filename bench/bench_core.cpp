// In-process costs of the window-free core, measured with QBENCHMARK: what the commands spend
// outside the page and the engine. bench/run --only core runs it and reports the figures.
#include "console/commandtext.h"
#include "console/localstore.h"
#include "services/scriptcall.h"
#include "services/soundpath.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class BenchCore : public QObject
{
    Q_OBJECT

    QTemporaryDir config, tmp;
    std::unique_ptr<localstore::Store> store;

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        // A store that a console has used for long, and filled beyond reason once.
        store = std::make_unique<localstore::Store>();
        for (int i = 0; i < 100000; ++i)
            store->setValue(u"key %1"_s.arg(i), u"value %1"_s.arg(i));
        store->setValue(u"big"_s, QString(50 * 1024 * 1024, u'x'));
        store->flush();
    }
    void cleanupTestCase() { store.reset(); }
    void splitCommand()
    {
        QBENCHMARK
        {
            const QString text = u"setlocaldata:layout/columns:name,state,time"_s;
            const CommandText command = CommandText::split(text);
            QString key, value;
            splitKeyValue(command.argument, &key, &value);
            commandLogLine(text);
        }
    }
    void storeLoad()
    {
        QBENCHMARK
        {
            localstore::Store loaded;
        }
    }
    void storeRead()
    {
        QBENCHMARK
        {
            store->value(u"key 42"_s);
        }
    }
    // What the page's thread spends; the disk follows on the store's own thread.
    void storeWrite()
    {
        int round = 0;
        QBENCHMARK
        {
            store->setValue(u"key 42"_s, QString::number(++round));
        }
    }
    // One write until it is on disk (the store's thread).
    void storeFlush()
    {
        int round = 0;
        QBENCHMARK
        {
            store->setValue(u"key 43"_s, QString::number(++round));
            store->flush();
        }
    }
    void lookupAnswer()
    {
        QBENCHMARK
        {
            scriptcall::handleQueryDns(u"192.0.2.17"_s, u"host-17.pool.example.net"_s);
        }
    }
    void soundFile()
    {
        const QUrl url(u"https://sounds.example.com/alerts/ring%20tone.wav?v=3"_s);
        QBENCHMARK
        {
            soundpath::filePath(url);
        }
    }
};

QTEST_GUILESS_MAIN(BenchCore)
#include "bench_core.moc"
