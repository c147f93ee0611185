// Command text splitting and the local store, without any window.
#include "console/commandtext.h"
#include "console/localstore.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestStore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void split_data();
    void split();
    void keyValue();
    void valuesRoundTrip();
    void everyKeyIsItsOwnEntry();
    void plainKeysKeepTheirNameOnDisk();
    void batchWritesOutAtItsEnd();

private:
    QTemporaryDir config;
};

void TestStore::initTestCase()
{
    QVERIFY(config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
}

void TestStore::split_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("argument");
    QTest::newRow("bare name") << QStringLiteral("maximize") << QStringLiteral("maximize")
                               << QStringLiteral("");
    QTest::newRow("trailing colon")
        << QStringLiteral("maximize:") << QStringLiteral("maximize") << QStringLiteral("");
    QTest::newRow("several colons")
        << QStringLiteral("open:a:b:c") << QStringLiteral("open") << QStringLiteral("a:b:c");
    QTest::newRow("leading colon")
        << QStringLiteral(":x") << QStringLiteral("") << QStringLiteral("x");
    QTest::newRow("blank kept") << QStringLiteral(" maximize") << QStringLiteral(" maximize")
                                << QStringLiteral("");
    QTest::newRow("empty") << QStringLiteral("") << QStringLiteral("") << QStringLiteral("");
}

void TestStore::split()
{
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QString, argument);
    const CommandText command = CommandText::split(text);
    QCOMPARE(command.name, name);
    QCOMPARE(command.argument, argument);
    QVERIFY(!command.argument.isNull()); // a missing argument is empty, not null
}

void TestStore::keyValue()
{
    QString key = QStringLiteral("old"), value = QStringLiteral("old");
    QVERIFY(!splitKeyValue(QStringLiteral("colour"), &key, &value));
    QCOMPARE(key, QStringLiteral("old"));
    QVERIFY(splitKeyValue(QStringLiteral("k:a:b"), &key, &value));
    QCOMPARE(key, QStringLiteral("k"));
    QCOMPARE(value, QStringLiteral("a:b"));
    QVERIFY(splitKeyValue(QStringLiteral("colour:"), &key, &value));
    QCOMPARE(value, QString(QLatin1String("")));
    QVERIFY(!value.isNull());
}

void TestStore::valuesRoundTrip()
{
    QVERIFY(localstore::read(QStringLiteral("never-written")).isNull());
    localstore::write(QStringLiteral("k"), QStringLiteral("v"));
    QCOMPARE(localstore::read(QStringLiteral("k")), QStringLiteral("v"));
    localstore::write(QStringLiteral("k"), QString());
    const QString empty = localstore::read(QStringLiteral("k"));
    QVERIFY(empty.isEmpty() && !empty.isNull()); // stored empty is not absent
    const QString odd =
        QStringLiteral("line\nbreak = \"quoted\" ; [section] \u00e9\u4e2d\U0001F600");
    localstore::write(QStringLiteral("odd"), odd);
    QCOMPARE(localstore::read(QStringLiteral("odd")), odd);
}

void TestStore::everyKeyIsItsOwnEntry()
{
    const QStringList keys = {QStringLiteral("a/b"),
                              QStringLiteral("a//b"),
                              QStringLiteral("/a/b"),
                              QStringLiteral("a\\b"),
                              QStringLiteral("a"),
                              QStringLiteral("b"),
                              QString(),
                              QStringLiteral("%"),
                              QStringLiteral("%a%2Fb"),
                              QStringLiteral("a%2Fb"),
                              QStringLiteral("a/"),
                              QStringLiteral("general/x")};
    for (int i = 0; i < keys.size(); ++i)
        localstore::write(keys[i], QStringLiteral("value %1").arg(i));
    for (int i = 0; i < keys.size(); ++i)
        QCOMPARE(localstore::read(keys[i]), QStringLiteral("value %1").arg(i));
    QCOMPARE(localstore::read(QLatin1String("")), QStringLiteral("value 6"));
}

void TestStore::plainKeysKeepTheirNameOnDisk()
{
    localstore::write(QStringLiteral("Operator.Name-2_x"), QStringLiteral("ann"));
    // What earlier versions wrote is still found under the same name.
    QSettings earlier(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brindleton"));
    QCOMPARE(earlier.value(QStringLiteral("Operator.Name-2_x")).toString(), QStringLiteral("ann"));
    earlier.setValue(QStringLiteral("theme"), QStringLiteral("dark"));
    earlier.sync();
    QCOMPARE(localstore::read(QStringLiteral("theme")), QStringLiteral("dark"));
    QVERIFY(QFile::exists(config.path() + QStringLiteral("/Brindleton.conf")));
}

void TestStore::batchWritesOutAtItsEnd()
{
    const QString file = localstore::storeFile();
    QCOMPARE(file, config.path() + QStringLiteral("/Brindleton.conf"));
    {
        const localstore::Batch batch;
        const localstore::Batch nested; // shares the outer one
        for (int i = 0; i < 50; ++i)
            localstore::write(QStringLiteral("batched"), QString::number(i));
        localstore::write(QStringLiteral("batched/other"), QStringLiteral("x"));
        QCOMPARE(localstore::read(QStringLiteral("batched")), QStringLiteral("49"));
    }
    // What another process would read from the file now.
    QSettings fromDisk(file, QSettings::IniFormat);
    QCOMPARE(fromDisk.value(QStringLiteral("batched")).toString(), QStringLiteral("49"));
    QCOMPARE(localstore::snapshot().value(QStringLiteral("batched/other")), QStringLiteral("x"));
    QCOMPARE(localstore::snapshot().value(QStringLiteral("Operator.Name-2_x")),
             QStringLiteral("ann"));
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
