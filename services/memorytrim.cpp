#include "services/memorytrim.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>

namespace memorytrim {

namespace {
constexpr int quietMs = 5000;
} // namespace

void workEnded()
{
    static QTimer *const quiet = [] {
        auto *timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setInterval(quietMs);
        // Off the GUI thread: going through the heap takes a while.
        QObject::connect(timer, &QTimer::timeout, [] {
            QThreadPool::globalInstance()->start(&platform::releaseFreeMemory);
        });
        return timer;
    }();
    quiet->start();
}

} // namespace memorytrim
