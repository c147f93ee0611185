// Reverse look-ups: the bound on those running, and the system's resolver.
#include "platform/platform.h"
#include "services/dnsthread.h"

#include <QProcess>
#include <QSemaphore>
#include <QtTest>

#include <iostream>

using namespace Qt::StringLiterals;

namespace {

QSemaphore lookupGate;

} // namespace

class TestLookup : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;

private slots:
    void lookupLimit()
    {
        platform::setReverseResolver([](quint32) {
            lookupGate.acquire();
            return QString();
        });
        QList<QPointer<DnsThread>> workers;
        int answered = 0;
        for (int i = 0; i < 40; ++i) {
            workers.append(new DnsThread);
            workers.last()->address = u"10.0.0.1"_s;
            connect(workers.last(), &DnsThread::querydns, this, [&] { ++answered; });
            DnsThread::schedule(workers.last());
        }
        const auto running = std::count_if(workers.cbegin(), workers.cend(),
                                           [](const auto &w) { return w->isRunning(); });
        lookupGate.release(40);
        QCOMPARE(running, 32);
        QTRY_COMPARE(answered, 40);
        QTRY_VERIFY(std::all_of(workers.cbegin(), workers.cend(), [](auto &w) { return !w; }));
        platform::setReverseResolver(nullptr);
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
