#include "console/commandtext.h"

CommandText CommandText::split(const QString &text)
{
    CommandText command;
    const qsizetype colon = text.indexOf(u':');
    if (colon < 0) {
        command.name = text;
        command.argument = QLatin1String("");
    } else {
        command.name = text.left(colon);
        command.argument = text.mid(colon + 1);
    }
    // mid() and left() give a null string for an empty part; the page may tell
    // them apart only through the results, so keep the argument non-null.
    if (command.argument.isNull())
        command.argument = QLatin1String("");
    if (command.name.isNull())
        command.name = QLatin1String("");
    return command;
}

bool splitKeyValue(const QString &text, QString *key, QString *value)
{
    const qsizetype colon = text.indexOf(u':');
    if (colon < 0)
        return false;
    *key = text.left(colon);
    *value = text.mid(colon + 1);
    if (value->isNull())
        *value = QLatin1String("");
    if (key->isNull())
        *key = QLatin1String("");
    return true;
}

namespace {

constexpr qsizetype maxLoggedChars = 200;

QString cut(const QString &text)
{
    if (text.size() <= maxLoggedChars)
        return text;
    qsizetype end = maxLoggedChars;
    if (text.at(end - 1).isHighSurrogate())
        --end; // a pair stays whole or goes
    QString length = QString::number(text.size());
    for (qsizetype at = length.size() - 3; at > 0; at -= 3)
        length.insert(at, u' ');
    return text.left(end) + u"…(" + length + u" characters)";
}

} // namespace

QString commandLogLine(const QString &text)
{
    const CommandText command = CommandText::split(text);
    if (command.name.size() == text.size())
        return cut(text);
    QString argument = command.argument;
    QString key, value;
    if (command.name == u"setlocaldata" && splitKeyValue(argument, &key, &value))
        argument = key;
    return cut(command.name) + u':' + cut(argument);
}
