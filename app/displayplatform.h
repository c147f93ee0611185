// Which Qt platform plugin the program asks for.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

namespace displayplatform {

// On a Wayland session the program uses X11 through XWayland, because a Wayland
// client cannot place its own pop-up; unless the user chose a platform
// (QT_QPA_PLATFORM) or there is no X server. Returns the platform to ask for,
// or an empty array for Qt's own choice.
QByteArray preferred(const QProcessEnvironment &environment);

} // namespace displayplatform
