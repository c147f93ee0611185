// Helpers for tests that drive a web page: evaluate script and wait for the
// result, wait for loads, and capture the debug log.
#pragma once

#include <QDesktopServices>
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

// Stands in for the desktop's URL handlers and records the URLs that the
// program hands to the desktop.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;

    void install(const QStringList &schemes)
    {
        installed = schemes;
        for (const QString &scheme : schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
        opened.clear();
    }
    void uninstall()
    {
        for (const QString &scheme : std::as_const(installed))
            QDesktopServices::unsetUrlHandler(scheme);
        installed.clear();
    }

public slots:
    void open(const QUrl &url) { opened.append(url); }

private:
    QStringList installed;
};

// Collects every debug line while it exists.
class LogCapture
{
public:
    LogCapture()
    {
        lines().clear();
        previous() = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(previous()); }
    static QStringList &lines()
    {
        static QStringList all;
        return all;
    }

private:
    // Warnings and errors still reach the test's output.
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg)
            lines().append(message);
        else
            previous()(type, context, message);
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
};

} // namespace testsupport
