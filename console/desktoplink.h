// What of an address may leave the program for the desktop (the user's browser, mail or phone
// program): the rules every way out shares, the page's open command, the console's links and the
// pop-up's.
#pragma once

#include <QUrl>

namespace desktoplink {

// Whether the address may be handed to the desktop at all: http, https, mailto and tel only.
bool isOpenable(const QUrl &url);

// The address without the parameters that ask a mail program to attach a file to the message
// ("attach", "attachment", in any case): a page must not reach the user's files through them.
// Any other address comes back as it is.
QUrl withoutAttachments(const QUrl &url);

} // namespace desktoplink
