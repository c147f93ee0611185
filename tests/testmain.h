// Start-up for the tests that need the web engine: a private home, the
// application name and the bridge scheme, all before the application object.
#pragma once

#include "console/bridge.h"
#include "notify/notifywindow.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace testsupport {

// Gives the test process a home and XDG directories of its own, so that tests
// never read or write the user's settings, caches or temporary files.
inline QString isolateEnvironment()
{
    // Child processes of a test share its directories.
    if (qEnvironmentVariableIsSet("BRINDLETON_TEST_HOME"))
        return qEnvironmentVariable("BRINDLETON_TEST_HOME");
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/brindleton-test-XXXXXX"));
    const QString root = home.path();
    const char *dirs[][2] = {{"HOME", "home"},
                             {"XDG_CONFIG_HOME", "config"},
                             {"XDG_CACHE_HOME", "cache"},
                             {"XDG_DATA_HOME", "data"},
                             {"TMPDIR", "tmp"}};
    for (const auto &entry : dirs) {
        const QString path = root + u'/' + QLatin1String(entry[1]);
        QDir().mkpath(path);
        qputenv(entry[0], QFile::encodeName(path));
    }
    const QString runtime = root + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("BRINDLETON_TEST_HOME", QFile::encodeName(root));
    return root;
}

} // namespace testsupport

#define BRINDLETON_GUI_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        testsupport::isolateEnvironment();                                                         \
        QCoreApplication::setApplicationName(QStringLiteral("brindleton"));                        \
        bridge::registerScheme();                                                                  \
        NotifyWindow::registerScheme();                                                            \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
