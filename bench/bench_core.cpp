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

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        for (int i = 0; i < 100; ++i) // a store that a console has used for a while
            localstore::write(u"key %1"_s.arg(i), u"value %1"_s.arg(i));
    }
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
    void storeRead()
    {
        QBENCHMARK
        {
            localstore::read(u"key 42"_s);
        }
    }
    void storeWrite()
    {
        int round = 0;
        QBENCHMARK
        {
            localstore::write(u"key 42"_s, QString::number(++round));
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
