// The page's key/value store, as it reaches the disk.
#include "console/localstore.h"

#include <QProcess>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Keys that QSettings would take apart or fold together, each with a value of its own; two
// values are not valid Unicode.
QList<QPair<QString, QString>> storeCases()
{
    const QStringList keys = {u"a/b"_s, u"a//b"_s, u"/a/b"_s,      u"a\\b"_s,      u"a"_s,
                              u"b"_s,   QString(), u"%"_s,         u"%a%2Fb"_s,    u"a%2Fb"_s,
                              u"a/"_s,  u"A/B"_s,  u"general/x"_s, u"x\ny = [z]"_s};
    QList<QPair<QString, QString>> cases;
    for (int i = 0; i < keys.size(); ++i)
        cases.append({keys[i], u"value \n\u00e9\U0001F600 "_s + QString::number(i)});
    cases.append({u"lone"_s, QString(u"a\xd800z\xdc00"_s)});
    cases.append({u"reversed"_s, QString(u"\xdc00\xd800"_s)});
    return cases;
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

    QTemporaryDir config;

private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path())); }
    void storeKeysNeverCollide()
    {
        // Read back by a process of its own, so that what counts is what reached the disk.
        for (const auto &[key, value] : storeCases())
            localstore::write(key, value);
        QCOMPARE(QProcess::execute(QCoreApplication::applicationFilePath(), {u"--check-store"_s}),
                 0);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], "--check-store") == 0) {
        const auto cases = storeCases();
        return std::count_if(cases.cbegin(), cases.cend(),
                             [](const auto &c) { return localstore::read(c.first) != c.second; });
    }
    TestStore test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_store.moc"
