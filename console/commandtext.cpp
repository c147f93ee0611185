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

const QList<CommandInfo> &commandTable()
{
    static const QList<CommandInfo> table = {
        {u"getlocaldata", nullptr},  {u"setlocaldata", nullptr}, {u"setnotifytitle", nullptr},
        {u"setnotifyhtml", nullptr}, {u"maximize", nullptr},     {u"open", nullptr},
        {u"close", nullptr},         {u"shownotify", nullptr},   {u"hidenotify", nullptr},
        {u"querydns", nullptr},      {u"playsound", u"OK"}};
    return table;
}

QString fixedResult(const QString &name)
{
    for (const CommandInfo &command : commandTable()) {
        if (name == command.name)
            return command.result ? QString::fromUtf16(command.result) : QString();
    }
    return QString();
}
