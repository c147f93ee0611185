// What the parts of sound fetch and play share: the log they write to, and a look at what
// stands at a file's path.
#pragma once

#include <QString>

namespace soundio {

// One write per line: the media backend's threads log to the same stream, and a line must
// not be split by theirs.
void writeLog(const QString &line);

QString seconds(int ms);

// What the directory entry at path is, without following a symbolic link.
enum class Entry { Missing, RegularFile, Other };
Entry entryAt(const QString &path);

} // namespace soundio
