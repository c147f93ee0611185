// The page's persistent key/value store, kept by QSettings for the current user
// (the registry on Windows, ~/.config/Brindleton.conf on Linux). Every operation
// opens the store afresh, so values written by one running instance are read by
// the others and by later runs.
#pragma once

#include <QString>

namespace localstore {

// The stored value, or a null string when the key was never written.
QString read(const QString &key);

// Stores value under key, replacing any earlier value.
void write(const QString &key, const QString &value);

// The name under which a key is kept in the settings store. QSettings treats
// "/" and "\" as group separators, so keys holding them, the empty key and keys
// holding the escape character are percent-encoded behind a leading "%"; every
// other key keeps its own name, as earlier versions stored it.
QString storageName(const QString &key);

} // namespace localstore
