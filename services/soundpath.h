// Where a sound URL is kept in the temporary directory.
#pragma once

#include <QString>
#include <QUrl>

namespace soundpath {

// The file name a sound URL maps to: the last segment of its decoded path, or "index.html" when
// that segment is empty. A URL with a query gets a name of its own, the same from run to run:
// the first 8 hex digits of the query's SHA-256 go before the extension, which stays last for
// the media backend ("snd.php?id=1" is "snd.d9fc91d4.php"). A segment that is no plain file
// name in the temporary directory (one that begins with a dot, holds a separator, a control
// character or a NUL after decoding) gives a null string: such a URL has no file.
QString fileName(const QUrl &url);

// The full path, with native separators, of that file in the temporary
// directory; a null string when fileName() is null. One thread only (the GUI
// thread).
QString filePath(const QUrl &url);

} // namespace soundpath
