// Splitting of the command texts that the console page sends.
#pragma once

#include <QList>
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

// A command that the console page may send, and the result its name fixes: "OK"
// for playsound, null for the others (getlocaldata answers with the stored value).
struct CommandInfo
{
    const char16_t *name;
    const char16_t *result;
};

// Every command, in the order in which the shell tests a command's name. The page
// script answers from this table too.
const QList<CommandInfo> &commandTable();

// The fixed result for a command's name: null for names outside the table.
QString fixedResult(const QString &name);
