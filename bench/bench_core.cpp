// In-process costs of the window-free core, measured with QBENCHMARK: what the commands spend
// outside the page and the engine. bench/run --only core runs it and reports the figures.
#include "console/commandtext.h"
#include "console/localstore.h"
#include "services/scriptcall.h"
#include "services/soundpath.h"

#include <QTemporaryDir>
#include <QtTest>

class BenchCore : public QObject
{
    Q_OBJECT

    QTemporaryDir config, tmp;

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        for (int i = 0; i < 100; ++i) // a store that a console has used for a while
            localstore::write(u"key %1"_qs.arg(i), u"value %1"_qs.arg(i));
    }
    void splitCommand()
    {
        QBENCHMARK
        {
            const CommandText command =
                CommandText::split(u"setlocaldata:layout/columns:name,state,time"_qs);
            QString key, value;
            splitKeyValue(command.argument, &key, &value);
            fixedResult(command.name);
        }
    }
    void storeRead()
    {
        QBENCHMARK
        {
            localstore::read(u"key 42"_qs);
        }
    }
    void storeWrite()
    {
        int round = 0;
        QBENCHMARK
        {
            localstore::write(u"key 42"_qs, QString::number(++round));
        }
    }
    void lookupAnswer()
    {
        QBENCHMARK
        {
            scriptcall::handleQueryDns(u"192.0.2.17"_qs, u"host-17.pool.example.net"_qs);
        }
    }
    void soundFile()
    {
        const QUrl url(u"https://sounds.example.com/alerts/ring%20tone.wav?v=3"_qs);
        QBENCHMARK
        {
            soundpath::filePath(url);
        }
    }
};

QTEST_GUILESS_MAIN(BenchCore)
#include "bench_core.moc"
