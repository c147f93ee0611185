// The notification pop-up: flags, form, placement, showing without focus and
// the end of its renderer.
#include "notify/notifywindow.h"
#include "notify/ui_notifywindow.h"
#include "testmain.h"
#include "webtest.h"

#include <QPointer>
#include <QScreen>
#include <QWebEngineProfile>

#include <csignal>

using namespace testsupport;

class TestNotify : public QObject
{
    Q_OBJECT
private slots:
    void flagsAndForm();
    void sizeWhenNativeWindowIsCreated();
    void position_data();
    void position();
    void showsInCornerWithoutTakingFocus();
    void rendererEndKeepsContent();
};

void TestNotify::flagsAndForm()
{
    NotifyWindow notify;
    const Qt::WindowFlags flags = notify.windowFlags();
    QCOMPARE(notify.windowType(), Qt::Tool);
    QVERIFY(flags.testFlag(Qt::X11BypassWindowManagerHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(notify.windowTitle(), QStringLiteral("brindleton"));
    // No page, and so no renderer, until the pop-up is first used.
    QVERIFY(!notify.ui->webView->findChild<QWebEnginePage *>());
    QCOMPARE(notify.page()->url(), QUrl(QStringLiteral("about:blank")));
    QCOMPARE(notify.ui->webView->page(), notify.page());
    // Page HTML never shares the console's storage or bridge.
    QVERIFY(notify.page()->profile()->isOffTheRecord());
    QVERIFY(notify.page()->profile() != QWebEngineProfile::defaultProfile());
}

void TestNotify::sizeWhenNativeWindowIsCreated()
{
    LogCapture log;
    NotifyWindow notify;
    QVERIFY(!log.lines().contains(QStringLiteral("QEvent::Create")));
    notify.winId();
    QCOMPARE(log.lines().count(QStringLiteral("QEvent::Create")), 1);
    QCOMPARE(notify.size(), QSize(320, 120));
}

void TestNotify::position_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("800x600 at origin") << QRect(0, 0, 800, 600) << QPoint(448, 448);
    QTest::newRow("task bar on the left") << QRect(60, 0, 800, 600) << QPoint(508, 448);
    QTest::newRow("primary screen right of another")
        << QRect(1920, 0, 1280, 1024) << QPoint(2848, 872);
}

void TestNotify::position()
{
    QFETCH(QRect, area);
    QFETCH(QPoint, expected);
    QCOMPARE(NotifyWindow::notifyPosition(area), expected);
}

void TestNotify::showsInCornerWithoutTakingFocus()
{
    QWidget console;
    console.resize(300, 200);
    console.show();
    console.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&console));

    NotifyWindow notify;
    notify.setContent(QStringLiteral("<p>hello</p>"), QUrl());
    notify.showNotify();
    QVERIFY(QTest::qWaitForWindowExposed(&notify));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(notify.pos(), NotifyWindow::notifyPosition(area));
    QCOMPARE(notify.size(), QSize(320, 120));
    QTRY_COMPARE(notify.ui->webView->geometry(), QRect(0, 0, 320, 120));
    QVERIFY(notify.testAttribute(Qt::WA_ShowWithoutActivating));
    QTest::qWait(200);
    QCOMPARE(QApplication::activeWindow(), &console);
    QVERIFY(!notify.isActiveWindow());

    // Showing again while shown places it afresh and still leaves the focus.
    notify.move(0, 0);
    notify.showNotify();
    QTRY_COMPARE(notify.pos(), NotifyWindow::notifyPosition(area));
    QCOMPARE(QApplication::activeWindow(), &console);
}

void TestNotify::rendererEndKeepsContent()
{
    LogCapture log;
    NotifyWindow notify;
    notify.setContent(QStringLiteral("<p>first</p>"), QUrl());
    notify.setContent(QStringLiteral("<p>last</p>"), QUrl());
    notify.showNotify();
    QPointer<QWebEnginePage> ended = notify.page();
    const QString text = QStringLiteral("document.body.innerText");
    QTRY_COMPARE(evaluate(ended, text).toString(), QStringLiteral("last"));
    QCOMPARE(::kill(ended->renderProcessPid(), SIGKILL), 0);
    QTRY_VERIFY(log.lines().contains(QStringLiteral("Pop-up renderer ended (killed, code 9)")));

    notify.showNotify(); // as the console's shownotify does
    QVERIFY(notify.page() != ended);
    QTRY_COMPARE(evaluate(notify.page(), text).toString(), QStringLiteral("last"));
    QTRY_VERIFY(!ended); // the ended page is freed
}

BRINDLETON_GUI_TEST_MAIN(TestNotify)
#include "tst_notify.moc"
