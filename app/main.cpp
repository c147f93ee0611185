#include "app/displayplatform.h"
#include "app/shell.h"
#include "console/bridge.h"
#include "notify/notifywindow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // Set before the application object exists, so that every location Qt
    // derives from the name (the web cache among them) already uses it.
    QCoreApplication::setApplicationName(QStringLiteral("brindleton"));
    bridge::registerScheme();
    NotifyWindow::registerScheme();
    const QByteArray platform =
        displayplatform::preferred(QProcessEnvironment::systemEnvironment());
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);

    QApplication app(argc, argv);
    Shell shell;
    shell.start();
    return app.exec();
}
