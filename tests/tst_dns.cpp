#include "platform/platform.h"
#include "services/dnsthread.h"
#include "services/scriptcall.h"

#include <QJSEngine>
#include <QSet>
#include <QtTest>

#include <atomic>

namespace {

// Test resolver: names every address "hôte-a.b.c.d", except 10.0.0.6, which
// has none. Records the addresses asked for and how many run at once.
std::atomic<int> resolving{0};
std::atomic<int> mostResolving{0};
std::atomic<unsigned long> pauseMs{0};
QMutex askedMutex;
QList<quint32> asked;

QString fakeResolver(quint32 address)
{
    const int now = ++resolving;
    for (int seen = mostResolving; now > seen && !mostResolving.compare_exchange_weak(seen, now);)
        ;
    {
        QMutexLocker lock(&askedMutex);
        asked.append(address);
    }
    QThread::msleep(pauseMs);
    --resolving;
    const quint32 host = qFromBigEndian(address);
    if (host == 0x0a000006)
        return QString();
    return u"h\u00f4te-" + QString::number(host >> 24) + u'.' + QString::number(host >> 16 & 0xff) +
           u'.' + QString::number(host >> 8 & 0xff) + u'.' + QString::number(host & 0xff);
}

} // namespace

class TestDns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { platform::setReverseResolver(fakeResolver); }
    void cleanupTestCase() { platform::setReverseResolver(nullptr); }
    void init();
    void lookup_data();
    void lookup();
    void manyCommands();
    void scriptCall_data();
    void scriptCall();

private:
    // Schedules one look-up per address, the way the console window does, and
    // collects the call-backs until all workers are gone.
    QList<QPair<QString, QString>> run(const QStringList &addresses);

    QList<QPair<QString, QString>> callbacks;
    int alive = 0;
};

void TestDns::init()
{
    resolving = 0;
    mostResolving = 0;
    pauseMs = 0;
    asked.clear();
}

QList<QPair<QString, QString>> TestDns::run(const QStringList &addresses)
{
    callbacks.clear();
    for (const QString &address : addresses) {
        auto *worker = new DnsThread;
        worker->address = address;
        ++alive;
        connect(worker, &QObject::destroyed, this, [this] { --alive; });
        connect(worker, &DnsThread::querydns, this, [this](QString a, QString n) {
            QCOMPARE(QThread::currentThread(), QCoreApplication::instance()->thread());
            callbacks.append({a, n});
        });
        DnsThread::schedule(worker);
    }
    [this] {
        QTRY_VERIFY_WITH_TIMEOUT(alive == 0, 120000);
    }();
    return callbacks;
}

void TestDns::lookup_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<quint32>("resolved");
    QTest::addColumn<QString>("name");
    QTest::newRow("dotted") << u"10.0.0.5"_qs << 0x0a000005u << u"h\u00f4te-10.0.0.5"_qs;
    QTest::newRow("no name") << u"10.0.0.6"_qs << 0x0a000006u << QString();
    QTest::newRow("short form") << u"127.1"_qs << 0x7f000001u << u"h\u00f4te-127.0.0.1"_qs;
    QTest::newRow("not an address") << u"abc"_qs << 0xffffffffu << u"h\u00f4te-255.255.255.255"_qs;
    QTest::newRow("empty") << u""_qs << 0xffffffffu << u"h\u00f4te-255.255.255.255"_qs;
}

void TestDns::lookup()
{
    QFETCH(QString, address);
    QFETCH(quint32, resolved);
    QFETCH(QString, name);
    const auto results = run({address, address});
    QCOMPARE(asked, QList<quint32>({qToBigEndian(resolved), qToBigEndian(resolved)}));
    QCOMPARE(results.size(), 2);
    for (const auto &[a, n] : results) {
        QCOMPARE(a, address);
        QCOMPARE(n, name);
        QCOMPARE(n.isNull(), name.isNull());
    }
}

void TestDns::manyCommands()
{
    pauseMs = 2;
    QStringList addresses;
    for (int i = 0; i < 2000; ++i)
        addresses << u"10.1." + QString::number(i / 256) + u'.' + QString::number(i % 256);

    const auto results = run(addresses);
    QCOMPARE(results.size(), addresses.size());
    QSet<QString> answered;
    for (const auto &[a, n] : results) {
        answered.insert(a);
        QCOMPARE(n, u"h\u00f4te-" + a);
    }
    QCOMPARE(answered.size(), addresses.size());
    QVERIFY2(mostResolving <= DnsThread::maxRunning(),
             QByteArray::number(mostResolving.load()).constData());
    QVERIFY(mostResolving > 1);
}

void TestDns::scriptCall_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << u"10.0.0.5"_qs;
    QTest::newRow("quotes") << u"it's \"quoted\""_qs;
    QTest::newRow("backslashes") << u"a\\b\\'c\\"_qs;
    QTest::newRow("line breaks") << u"a\nb\r\nc\td"_qs;
    QTest::newRow("line separators") << u"a\u2028b\u2029c"_qs;
    QTest::newRow("non-ASCII") << u"h\u00f4te.\u4f8b\u3048.\U0001F514"_qs;
    static const QChar lone[] = {QChar(0xd800), u'x', QChar(0xdc00)};
    QTest::newRow("lone surrogates") << QString(lone, 3);
    static const QChar controls[] = {QChar(0), QChar(1), QChar(0x1f), QChar(0x7f)};
    QTest::newRow("controls") << QString(controls, 4);
    QTest::newRow("markup and templates") << u"</script><!-- ${x} `y`"_qs;
}

void TestDns::scriptCall()
{
    QFETCH(QString, text);
    QJSEngine engine;
    engine.evaluate(QStringLiteral("var got; function HandleQueryDns() { got = arguments; }"));
    const QList<QPair<QString, QString>> calls = {
        {text, u"name:" + text}, {u"addr:" + text, text}, {text, QString()}};
    for (const auto &[address, name] : calls) {
        // The text is well-formed Unicode, so any transport to the page keeps it.
        const QString call = QString::fromUtf8(scriptcall::handleQueryDns(address, name).toUtf8());
        const QJSValue result = engine.evaluate(call);
        QVERIFY2(!result.isError(), qPrintable(result.toString()));
        const QJSValue got = engine.globalObject().property(QStringLiteral("got"));
        QCOMPARE(got.property(QStringLiteral("length")).toInt(), 2);
        QVERIFY(got.property(0).isString());
        QVERIFY(got.property(1).isString());
        QCOMPARE(got.property(0).toString(), address);
        QCOMPARE(got.property(1).toString(), name.isNull() ? u""_qs : name);
    }
    // Values that need no escaping read as they always did.
    QCOMPARE(scriptcall::handleQueryDns(QStringLiteral("10.0.0.5"), QString()),
             QStringLiteral("HandleQueryDns('10.0.0.5','')"));
}

QTEST_GUILESS_MAIN(TestDns)
#include "tst_dns.moc"
