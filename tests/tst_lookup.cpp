// Reverse look-ups: the bound on those running and pending, identical look-ups shared, the
// service's end while a resolver is held, and the system's resolver.
#include "platform/platform.h"
#include "services/reverselookup.h"

#include <QProcess>
#include <QSemaphore>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <iostream>

using namespace Qt::StringLiterals;

namespace {

// The look-ups' resolver: holds each call until the gate lets it through, notes when more than
// 32 are held at once, and names an address by its number.
QSemaphore lookupGate;
std::atomic<int> resolverCalls, resolving;
std::atomic<bool> tooManyResolving;

QString heldResolver(quint32 address)
{
    ++resolverCalls;
    if (++resolving > 32)
        tooManyResolving = true;
    lookupGate.acquire();
    --resolving;
    return QString::number(address);
}

} // namespace

class TestLookup : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;

private slots:
    void initTestCase() { platform::setReverseResolver(&heldResolver); }
    void init()
    {
        lookupGate.acquire(lookupGate.available());
        resolverCalls = 0;
        tooManyResolving = false;
    }

    void lookups_data()
    {
        // Looked up in turn, `count` calls in all; none: the call's number, an address of its own.
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("count"); // the bound: full after the last call only
        QTest::addColumn<int>("resolutions");
        QTest::newRow("distinct addresses") << QStringList() << 1024 << 1024;
        QTest::newRow("one address") << QStringList{u"127.1"_s, u"127.0.0.1"_s} << 65536 << 1;
    }
    void lookups()
    {
        QFETCH(QStringList, texts);
        QFETCH(int, count);
        QFETCH(int, resolutions);
        ReverseLookupService service;
        QSignalSpy room(&service, &ReverseLookupService::roomAvailable);
        QHash<QString, int> expected, answered; // "text|name": calls
        // Each answer lets one more held resolution through, so that as many run as may.
        connect(&service, &ReverseLookupService::found, this, [&](auto &text, auto &name) {
            ++answered[text + u'|' + name];
            lookupGate.release();
        });
        for (int i = 0; i < count; ++i) {
            QVERIFY(!service.isFull());
            const QString text = texts.isEmpty() ? QString::number(i) : texts[i % texts.size()];
            service.lookUp(text);
            ++expected[text + u'|' + QString::number(platform::ipv4FromText(text.toLatin1()))];
        }
        QVERIFY(service.isFull());
        QTRY_COMPARE(resolving.load(), qMin(resolutions, 32));
        lookupGate.release();
        QSignalSpy found(&service, &ReverseLookupService::found);
        while (answered != expected)
            QVERIFY(found.wait());
        QCOMPARE(resolverCalls.load(), resolutions);
        QVERIFY(!tooManyResolving);
        QCOMPARE(room.size(), 1);
    }

    void destroyedWhileResolving()
    {
        auto *service = new ReverseLookupService;
        const QPointer<QThreadPool> pool = service->findChild<QThreadPool *>();
        service->lookUp(u"abc"_s);
        QTRY_COMPARE(resolving.load(), 1);
        delete service; // returns with the resolver still held
        lookupGate.release();
        QTRY_VERIFY(!pool); // the answer went nowhere; the resolver's thread handed the pool back
    }

    void systemResolverGivesNamesOnly()
    {
        // The child resolves from /etc/hosts alone, in a mount namespace of its own, so that
        // the system's DNS server is never asked; an address without a name gives no name.
        QProcess child;
        child.setWorkingDirectory(tmp.path());
        child.start(u"unshare"_s,
                    {u"-rm"_s, u"sh"_s, u"-c"_s,
                     u"echo 'hosts: files' >nss && mount --bind nss /etc/nsswitch.conf"
                     " && exec \"$0\" --resolve"_s,
                     QCoreApplication::applicationFilePath()});
        QVERIFY(child.waitForFinished(30000));
        if (child.exitCode() != 0)
            QSKIP(qPrintable(u"no private mount namespace: "_s +
                             QString::fromLocal8Bit(child.readAllStandardError())));
        QCOMPARE(child.readAllStandardOutput(), QByteArray("localhost||"));
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--resolve") == 0) {
        for (const char *address : {"127.0.0.1", "10.0.0.6"})
            std::cout << qPrintable(platform::systemReverseLookup(platform::ipv4FromText(address)))
                      << '|';
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestLookup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_lookup.moc"
