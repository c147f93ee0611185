#include "console/pagezoom.h"

#include <QApplication>
#include <QSettings>
#include <QShortcut>
#include <QWebEngineView>
#include <QWheelEvent>

#include <algorithm>
#include <array>

namespace {

// The levels browsers step through, within the engine's range of 0.25 to 5.
constexpr std::array<qreal, 17> levels = {0.25, 0.33, 0.5,  0.67, 0.75, 0.8, 0.9, 1.0, 1.1,
                                          1.25, 1.5,  1.75, 2.0,  2.5,  3.0, 4.0, 5.0};

QSettings settings()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("brindleton"),
                     QStringLiteral("window"));
}

} // namespace

PageZoom::PageZoom(QWebEngineView *view) : QObject(view), view(view)
{
    QWidget *window = view->window();
    const auto shortcut = [window](const QKeySequence &keys) {
        return new QShortcut(keys, window);
    };
    connect(shortcut(QKeySequence::ZoomIn), &QShortcut::activated, this, [this] { step(1); });
    connect(shortcut(QKeySequence(Qt::CTRL | Qt::Key_Equal)), &QShortcut::activated, this,
            [this] { step(1); });
    connect(shortcut(QKeySequence::ZoomOut), &QShortcut::activated, this, [this] { step(-1); });
    connect(shortcut(QKeySequence(Qt::CTRL | Qt::Key_0)), &QShortcut::activated, this,
            &PageZoom::reset);
    // The engine sets each new document's zoom afresh: the console's is set again.
    connect(view, &QWebEngineView::loadFinished, this, [this] { set(factor); });
    // The wheel's events go to the view's focus proxy, which the engine replaces at times.
    QApplication::instance()->installEventFilter(this);
    set(settings().value(QStringLiteral("zoom"), 1.0).toReal());
}

void PageZoom::step(int steps)
{
    const auto next = steps > 0 ? std::upper_bound(levels.begin(), levels.end(), factor + 0.001)
                                : std::lower_bound(levels.begin(), levels.end(), factor - 0.001);
    if (steps > 0 && next != levels.end())
        set(*next);
    else if (steps < 0 && next != levels.begin())
        set(*(next - 1));
}

void PageZoom::reset()
{
    set(1.0);
}

void PageZoom::set(qreal zoom)
{
    zoom = qBound(levels.front(), zoom, levels.back());
    view->setZoomFactor(zoom);
    if (!qFuzzyCompare(zoom, factor))
        settings().setValue(QStringLiteral("zoom"), zoom);
    factor = zoom;
}

bool PageZoom::eventFilter(QObject *watched, QEvent *event)
{
    // Only compared: an object that the application's filter sees may be half destroyed.
    if (event->type() != QEvent::Wheel || watched != view->focusProxy())
        return false;
    auto *wheel = static_cast<QWheelEvent *>(event);
    if (!(wheel->modifiers() & Qt::ControlModifier))
        return false;
    // A notch is 120; a touchpad sends smaller steps, which add up to one.
    wheelDelta += wheel->angleDelta().y();
    const int notches = wheelDelta / 120;
    wheelDelta %= 120;
    if (notches != 0)
        step(notches);
    return true;
}
