// Where a sound URL is kept in the temporary directory.
#pragma once

#include <QString>
#include <QUrl>

namespace soundpath {

// The file name a sound URL maps to: the last segment of its decoded path, or
// "index.html" when that segment is empty. A segment that is no plain file name
// in the temporary directory (".", "..", one holding a separator or a NUL after
// decoding) gives a null string: such a URL has no file.
QString fileName(const QUrl &url);

// The full path, with native separators, of that file in the temporary
// directory; a null string when fileName() is null. One thread only (the GUI
// thread).
QString filePath(const QUrl &url);

} // namespace soundpath
