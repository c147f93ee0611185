// The program's parts, made and connected: the console (the commands, the store and the services),
// the console window, the pop-up and the bridge between the console's page and the console.
// Data flows one way: page -> bridge -> console -> services -> bridge -> page; the windows only
// show what the console's signals say.
#pragma once

#include "console/bridge.h"
#include "console/console.h"
#include "console/mainwindow.h"
#include "notify/notifywindow.h"

class Shell
{
public:
    Shell();

    // Shows the console window and loads the console page into it.
    void start();

    Console &console() { return core; }
    MainWindow &mainWindow() { return window; }
    NotifyWindow &notifyWindow() { return notify; }
    bridge::Bridge &bridge() { return pageBridge; }

private:
    Console core;
    NotifyWindow notify;
    MainWindow window;
    bridge::Bridge pageBridge;
};
