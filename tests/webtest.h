// Helpers for tests that drive a web page: evaluate script and wait for the
// result, wait for loads, and capture the debug log.
#pragma once

#include <QEventLoop>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>

#include <optional>

namespace testsupport {

// Evaluates script in the page's main world and returns its result, or an
// invalid QVariant when none arrives within timeoutMs.
inline QVariant evaluate(QWebEnginePage *page, const QString &script, int timeoutMs = 10000)
{
    std::optional<QVariant> result;
    QEventLoop loop;
    page->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!result)
        loop.exec();
    return result.value_or(QVariant());
}

// Loads url and waits until it has loaded; returns whether it loaded well.
inline bool load(QWebEnginePage *page, const QUrl &url, int timeoutMs = 20000)
{
    QSignalSpy finished(page, &QWebEnginePage::loadFinished);
    page->load(url);
    if (!finished.wait(timeoutMs))
        return false;
    return finished.constLast().value(0).toBool();
}

// Waits until script evaluates to true in the page.
inline bool waitFor(QWebEnginePage *page, const QString &condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (evaluate(page, condition).toBool())
            return true;
        QTest::qWait(20);
    }
    return false;
}

// Collects every debug line while it exists.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous); }
    static QStringList &lines()
    {
        static QStringList all;
        return all;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtDebugMsg)
            lines().append(message);
    }
    QtMessageHandler previous = nullptr;
};

} // namespace testsupport
