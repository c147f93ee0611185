#include "console/console.h"

#include "console/commandtext.h"
#include "console/localstore.h"
#include "services/desktopopener.h"
#include "services/reverselookup.h"
#include "services/sound/soundservice.h"

#include <QDebug>

struct Console::Command
{
    const char16_t *name;
    const char16_t *result;
    Handler run;
};

const QList<Console::Command> &Console::table()
{
    static const QList<Command> commands = {
        {u"getlocaldata", nullptr, &Console::getLocalData},
        {u"setlocaldata", nullptr, &Console::setLocalData},
        {u"setnotifytitle", nullptr, &Console::setNotifyTitle},
        {u"setnotifyhtml", nullptr, &Console::setNotifyHtml},
        {u"maximize", nullptr, &Console::maximize},
        {u"open", nullptr, &Console::open},
        {u"close", nullptr, &Console::close},
        {u"shownotify", nullptr, &Console::showNotify},
        {u"hidenotify", nullptr, &Console::hideNotify},
        {u"querydns", nullptr, &Console::queryDns},
        {u"playsound", u"OK", &Console::playSound},
    };
    return commands;
}

QList<std::pair<QString, QString>> Console::commands()
{
    QList<std::pair<QString, QString>> list;
    for (const Command &command : table())
        list.append({QString::fromUtf16(command.name),
                     command.result ? QString::fromUtf16(command.result) : QString()});
    return list;
}

QString Console::nameOf(Handler handler)
{
    for (const Command &command : table()) {
        if (command.run == handler)
            return QString::fromUtf16(command.name);
    }
    return QString();
}

QString Console::readCommand()
{
    return nameOf(&Console::getLocalData);
}

QString Console::writeCommand()
{
    return nameOf(&Console::setLocalData);
}

Console::Console(QObject *parent)
    : QObject(parent), opener(new DesktopOpener(this)), lookups(new ReverseLookupService(this)),
      sounds(new SoundService(this)), store(new localstore::Store(this))
{
    connect(lookups, &ReverseLookupService::found, this,
            [this](const QString &address, const QString &hostName) {
                qDebug().noquote() << "handle_querydns";
                emit hostNameFound(address, hostName);
            });
    // A page's commands wait while a service holds as much as it may.
    connect(lookups, &ReverseLookupService::roomAvailable, this, &Console::readyForCommands);
    connect(sounds, &SoundService::roomAvailable, this, &Console::readyForCommands);
    connect(store, &localstore::Store::changedElsewhere, this, &Console::storeChanged);
}

Console::~Console() = default;

QString Console::command(const QString &text)
{
    qDebug().noquote() << commandLogLine(text);
    const CommandText command = CommandText::split(text);
    for (const Command &entry : table()) {
        if (command.name == entry.name) {
            const QString result = (this->*entry.run)(command.argument);
            return entry.result ? QString::fromUtf16(entry.result) : result;
        }
    }
    return QString();
}

bool Console::isReady() const
{
    return !lookups->isFull() && !sounds->isFull();
}

QHash<QString, QString> Console::storedValues() const
{
    return store->values();
}

void Console::followLink(const QUrl &url)
{
    qDebug().noquote() << "linkClicked";
    qDebug().noquote() << url.toString();
    opener->open(url);
}

QString Console::getLocalData(const QString &key)
{
    return store->value(key);
}

QString Console::setLocalData(const QString &keyAndValue)
{
    QString key, value;
    if (splitKeyValue(keyAndValue, &key, &value))
        store->setValue(key, value);
    return QString();
}

QString Console::setNotifyTitle(const QString &title)
{
    emit notifyTitleChanged(title);
    return QString();
}

QString Console::setNotifyHtml(const QString &html)
{
    emit notifyContentChanged(html);
    return QString();
}

QString Console::maximize(const QString &)
{
    emit maximizeRequested();
    return QString();
}

QString Console::open(const QString &address)
{
    opener->open(QUrl(address));
    return QString();
}

QString Console::close(const QString &)
{
    emit closeRequested();
    return QString();
}

QString Console::showNotify(const QString &)
{
    emit notifyShown();
    return QString();
}

QString Console::hideNotify(const QString &)
{
    emit notifyHidden();
    return QString();
}

QString Console::queryDns(const QString &address)
{
    lookups->lookUp(address);
    return QString();
}

QString Console::playSound(const QString &url)
{
    sounds->play(url);
    return QString();
}
