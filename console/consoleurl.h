// The address of the console page.
#pragma once

#include <QString>
#include <QUrl>

namespace consoleurl {

// The compiled-in console address, unless the environment variable
// BRINDLETON_CONSOLE_URL names another one (staging, the demo, tests).
QString consoleUrl();

// The origin (scheme, host and port) that alone may use the script bridge,
// as "scheme://host[:port]" the way browsers serialise origins.
QString originOf(const QUrl &url);

} // namespace consoleurl
