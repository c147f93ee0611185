// The page's store across processes. The other process is this executable, started in one of
// the modes that main() takes.
#include "console/localstore.h"
#include "platform/platform.h"

#include <QProcess>
#include <QtTest>

using namespace Qt::StringLiterals;
using Values = QHash<QString, QString>;

namespace {

// Keys that QSettings would take apart or fold together, each with a value of its own; two
// values are not valid Unicode, one is empty.
Values storeCases()
{
    Values cases{{u"lone"_s, QString(u"a\xd800z\xdc00"_s)},
                 {u"reversed"_s, QString(u"\xdc00\xd800"_s)},
                 {u"empty"_s, QString()}};
    for (const QString &key :
         {u"a/b"_s, u"a//b"_s, u"/a/b"_s, u"a\\b"_s, u"a"_s, u"b"_s, QString(), u"%"_s, u"%a%2Fb"_s,
          u"a%2Fb"_s, u"a/"_s, u"A/B"_s, u"general/x"_s, u"x\ny = [z]"_s})
        cases.insert(key, u"value \n\u00e9\U0001F600 "_s + key);
    return cases;
}

int runOther(const QStringList &args)
{
    return QProcess::execute(QCoreApplication::applicationFilePath(), args);
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    QTemporaryDir config;
    QString file;

private slots:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        file = platform::openStore()->fileName();
    }
    void init() { QFile::remove(file); }

    void storeKeysNeverCollide()
    {
        {
            localstore::Store store;
            const Values cases = storeCases();
            for (auto it = cases.cbegin(); it != cases.cend(); ++it)
                store.setValue(it.key(), it.value());
            QVERIFY(!store.value(u"empty"_s).isNull());
        } // written out as the store goes
        // Read back by a process of its own, so that what counts is what reached the disk.
        QCOMPARE(runOther({u"--check-store"_s}), 0);
    }

    void changedElsewhere_data()
    {
        QTest::addColumn<QStringList>("ours"); // set while the other process writes
        QTest::addColumn<QStringList>("edits");
        QTest::addColumn<Values>("changed");
        QTest::addColumn<QStringList>("removed");
        QTest::newRow("changed, added, removed, rewritten alike")
            << QStringList() << QStringList{u"a=3"_s, u"c=4"_s, u"-b"_s, u"e=5"_s}
            << Values{{u"a"_s, u"3"_s}, {u"c"_s, u"4"_s}} << QStringList{u"b"_s};
        QTest::newRow("ours not yet on disk is newer")
            << QStringList{u"p"_s, u"a"_s} << QStringList{u"p=older"_s, u"-a"_s, u"q=1"_s}
            << Values{{u"q"_s, u"1"_s}} << QStringList();
    }
    void changedElsewhere()
    {
        QFETCH(QStringList, ours);
        QFETCH(QStringList, edits);
        QFETCH(Values, changed);
        QFETCH(QStringList, removed);
        localstore::Store store;
        for (const QString &key : {u"a"_s, u"b"_s, u"e"_s})
            store.setValue(key, u"5"_s);
        store.flush();
        QSignalSpy reports(&store, &localstore::Store::changedElsewhere);
        for (const QString &key : ours)
            store.setValue(key, u"mine"_s);
        // This thread takes no events meanwhile, so none of our writes can go before theirs.
        QCOMPARE(runOther(QStringList{u"--edit"_s} + edits), 0);
        QTRY_COMPARE(reports.size(), 1);
        QCOMPARE(reports[0][0].value<Values>(), changed);
        QCOMPARE(reports[0][1].toStringList(), removed);
        store.flush();
        QCOMPARE(localstore::Store().values(), store.values()); // the disk as memory has it
        QCOMPARE(reports.size(), 1);
    }

    void killedWriterLeavesTheFileWhole()
    {
        // The other process writes a large value, then a count without end, and never flushes;
        // this one writes keys of its own meanwhile, each merged into the file as the other left
        // it, and the other's into this one's.
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(), {u"--write"_s});
        localstore::Store store;
        QTRY_VERIFY_WITH_TIMEOUT(!store.value(u"count"_s).isNull(), 30000);
        for (int i = 0; i < 5; ++i) {
            store.setValue(QString::number(i), u"ours"_s);
            store.flush();
        }
        // The other's next two writes; the first has likely waited for the lock meanwhile.
        const int count = localstore::Store().value(u"count"_s).toInt() + 1;
        QTRY_VERIFY_WITH_TIMEOUT(store.value(u"count"_s).toInt() > count, 30000);
        // Killed in the midst of a write, while it holds the lock.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file + u".lock"), 30000);
        writer.kill();
        QVERIFY(writer.waitForFinished());
        // The lock left behind stops no one.
        store.setValue(u"after"_s, u"1"_s);
        store.flush();
        const localstore::Store disk;
        QCOMPARE(disk.values().size(), 8);
        QCOMPARE(disk.value(u"big"_s).size(), 4 << 20);
        QVERIFY(disk.value(u"count"_s).toInt() >= store.value(u"count"_s).toInt());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--edit") { // as an older version would: "key=value" sets, "-key" removes
        const auto settings = platform::openStore();
        for (const QString &edit : args.mid(2)) {
            if (edit.startsWith(u'-'))
                settings->remove(edit.mid(1));
            else
                settings->setValue(edit.section(u'=', 0, 0), edit.section(u'=', 1));
        }
        settings->sync();
        return settings->status();
    }
    if (args.value(1) == u"--check-store") {
        const localstore::Store store;
        return store.values() != storeCases() || store.value(u"empty"_s).isNull() ||
               !store.value(u"absent"_s).isNull();
    }
    if (args.value(1) == u"--write") {
        localstore::Store store;
        store.setValue(u"big"_s, QString(4 << 20, u'x'));
        QTimer counter;
        QObject::connect(&counter, &QTimer::timeout, &store, [&store] {
            store.setValue(u"count"_s, QString::number(store.value(u"count"_s).toInt() + 1));
        });
        counter.start(10);
        return app.exec();
    }
    TestStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_store.moc"
