// Splitting of the command texts that the console page sends.
#pragma once

#include <QString>

struct CommandText
{
    // Everything before the first colon, or the whole text when there is none.
    QString name;
    // Everything after the first colon; empty (not null) when there is none.
    QString argument;

    static CommandText split(const QString &text);
};

// Splits "key:value" at its first colon. Returns false, leaving key and value
// untouched, when the text holds no colon.
bool splitKeyValue(const QString &text, QString *key, QString *value);

// The line that logs a command: its name, and its argument cut to 200 characters with its whole
// length told ("...(52 428 800 characters)"); for setlocaldata the key alone, so that no stored
// value reaches the log.
QString commandLogLine(const QString &text);
