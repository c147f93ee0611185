// The program as a process: start-up order, arguments and how a run ends.
#include "app/displayplatform.h"
#include "console/mainwindow.h"
#include "httpserver.h"
#include "testmain.h"

#include <QProcess>
#include <QSignalSpy>
#include <QWebEnginePage>

#include <cstdio>

class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void windowShownBeforePageRequestedAndCloseEndsRun();
    void destroyEventExitsWithZero();
    void waylandSessionsUseXWayland_data();
    void waylandSessionsUseXWayland();

private:
    static QStringList visibleWindowsNamed(const QString &name);
};

QStringList TestStartup::visibleWindowsNamed(const QString &name)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"),
                  {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                   QStringLiteral("--name"), u'^' + name + u'$'});
    xdotool.waitForFinished(5000);
    return QString::fromLocal8Bit(xdotool.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

void TestStartup::windowShownBeforePageRequestedAndCloseEndsRun()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display (the test script runs the suite under Xvfb)");
    const QString program = qEnvironmentVariable("BRINDLETON_EXECUTABLE");
    QVERIFY2(QFileInfo::exists(program), "BRINDLETON_EXECUTABLE names no program");

    HttpServer server;
    server.setPage("/webconsole/default2.aspx",
                   "<html><head><title>Started</title></head><body><script>"
                   "setTimeout(() => webkitExternal.command('close'), 500);"
                   "</script></body></html>");
    QStringList windowsAtRequest;
    server.onRequest = [&](const QByteArray &path) {
        if (path == "/webconsole/default2.aspx")
            windowsAtRequest = visibleWindowsNamed(QStringLiteral("MainWindow"));
    };

    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BRINDLETON_CONSOLE_URL"),
               server.url(QStringLiteral("/webconsole/default2.aspx")).toString());
    shell.setProcessEnvironment(env);
    shell.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    // Options the program does not know are ignored.
    shell.start(program, {QStringLiteral("--no-such-option")});
    QVERIFY(shell.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(!server.targets.isEmpty(), 30000);
    QCOMPARE(windowsAtRequest.size(), 1); // the window was up before the page was asked for
    QTRY_VERIFY_WITH_TIMEOUT(shell.state() == QProcess::NotRunning, 30000);
    QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
    QCOMPARE(shell.exitCode(), 0);
}

void TestStartup::destroyEventExitsWithZero()
{
    // The child loads a page, so that the engine's threads are running, then
    // receives a Destroy event (see childMain below).
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--destroy-child")});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    QVERIFY2(output.contains("sending Destroy"), output.constData());
    QVERIFY2(!output.contains("returned"), output.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

void TestStartup::waylandSessionsUseXWayland_data()
{
    QTest::addColumn<QStringList>("variables");
    QTest::addColumn<QByteArray>("expected");
    const QString display = QStringLiteral("DISPLAY=:0");
    QTest::newRow("wayland session")
        << QStringList{QStringLiteral("XDG_SESSION_TYPE=wayland"),
                       QStringLiteral("WAYLAND_DISPLAY=wayland-0"), display}
        << QByteArray("xcb");
    QTest::newRow("wayland display only")
        << QStringList{QStringLiteral("WAYLAND_DISPLAY=wayland-0"), display} << QByteArray("xcb");
    QTest::newRow("user's choice kept")
        << QStringList{QStringLiteral("WAYLAND_DISPLAY=wayland-0"), display,
                       QStringLiteral("QT_QPA_PLATFORM=wayland")}
        << QByteArray();
    QTest::newRow("no XWayland") << QStringList{QStringLiteral("XDG_SESSION_TYPE=wayland"),
                                                QStringLiteral("WAYLAND_DISPLAY=wayland-0")}
                                 << QByteArray();
    QTest::newRow("X11 session") << QStringList{QStringLiteral("XDG_SESSION_TYPE=x11"), display}
                                 << QByteArray();
}

void TestStartup::waylandSessionsUseXWayland()
{
    QFETCH(QStringList, variables);
    QFETCH(QByteArray, expected);
    QProcessEnvironment environment;
    for (const QString &variable : variables)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    QCOMPARE(displayplatform::preferred(environment), expected);
}

static int destroyChildMain(int argc, char **argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("brindleton"));
    bridge::registerScheme();
    NotifyWindow::registerScheme();
    QApplication app(argc, argv);
    MainWindow window;
    window.show();
    QSignalSpy loaded(window.findChild<QWebEnginePage *>(), &QWebEnginePage::loadFinished);
    window.loadPage(QStringLiteral("data:text/html,<title>t</title><p>page</p>"));
    if (!loaded.wait(30000))
        return 2;
    std::printf("sending Destroy\n");
    std::fflush(stdout);
    QEvent destroy(QEvent::Destroy);
    QCoreApplication::sendEvent(&window, &destroy);
    std::printf("returned\n");
    return 3;
}

int main(int argc, char **argv)
{
    testsupport::isolateEnvironment();
    if (argc > 1 && qstrcmp(argv[1], "--destroy-child") == 0)
        return destroyChildMain(1, argv);
    QApplication app(argc, argv);
    TestStartup test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
