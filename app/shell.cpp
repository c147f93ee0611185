#include "app/shell.h"

#include "console/consolepage.h"
#include "console/consoleurl.h"

Shell::Shell()
    : pageBridge(window.page(), consoleurl::originOf(QUrl(consoleurl::consoleUrl())), &core,
                 nullptr)
{
    QObject::connect(&pageBridge, &bridge::Bridge::linkAnnounced, window.page(),
                     &ConsolePage::noteLinkActivation);
    QObject::connect(&pageBridge, &bridge::Bridge::userClickedLink, window.page(),
                     &ConsolePage::noteUserClick);
    QObject::connect(&window, &MainWindow::linkActivated, &core, &Console::followLink);
    QObject::connect(&notify, &NotifyWindow::linkActivated, &core, &Console::followLink);
    QObject::connect(&window, &MainWindow::closing, &notify, &QWidget::close);

    QObject::connect(&core, &Console::notifyTitleChanged, &notify, &QWidget::setWindowTitle);
    QObject::connect(&core, &Console::notifyShown, &notify, &NotifyWindow::showNotify);
    QObject::connect(&core, &Console::notifyHidden, &notify, &QWidget::hide);
    // Relative addresses in the pop-up's content resolve against the console's page.
    QObject::connect(&core, &Console::notifyContentChanged, &notify, [this](const QString &html) {
        notify.setContent(html, window.page()->url());
    });
    QObject::connect(&core, &Console::maximizeRequested, &window,
                     [this] { window.setWindowState(Qt::WindowMaximized); });
    QObject::connect(&core, &Console::closeRequested, &window, &MainWindow::closeWithoutAsking);
}

void Shell::start()
{
    window.setVisible(true);
    window.loadPage(consoleurl::consoleUrl());
}
