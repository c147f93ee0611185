// The console's commands, carried out without a window. The bridge hands over each command text
// that the console page sends; the console answers it, keeps the store, asks the look-up and
// sound services, hands addresses to the desktop, and says by signals what the windows are to
// show. It knows nothing of the bridge or the windows.
#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <utility>

class DesktopOpener;
class ReverseLookupService;
class SoundService;

namespace localstore {
class Store;
}

class Console : public QObject
{
    Q_OBJECT
public:
    explicit Console(QObject *parent = nullptr);
    ~Console() override;

    // Every command's name with the result it always gives, null for most; getlocaldata gives the
    // stored value instead. The one list of the commands: the page's script answers from it.
    static QList<std::pair<QString, QString>> commands();
    // The names of the commands that read and write the store, which the page's script answers
    // from its copy.
    static QString readCommand();
    static QString writeCommand();

    // Carries out a command text ("name:argument") and gives its result. A name is matched
    // exactly; any other text does nothing and gives null.
    QString command(const QString &text);

    // Whether the services can take more work now; when not, commands should wait for
    // readyForCommands().
    bool isReady() const;

    // The whole store, as a new document of the console gets it.
    QHash<QString, QString> storedValues() const;

    // A link that the user activated in the console or the pop-up: to the desktop, by its rules.
    void followLink(const QUrl &url);

signals:
    void notifyTitleChanged(const QString &title);
    void notifyContentChanged(const QString &html);
    void notifyShown();
    void notifyHidden();
    void maximizeRequested();
    void closeRequested();
    // A look-up's answer, for the page's HandleQueryDns; hostName is null when there is none.
    void hostNameFound(const QString &address, const QString &hostName);
    // What another instance changed in the store.
    void storeChanged(const QHash<QString, QString> &values, const QStringList &removed);
    void readyForCommands();

private:
    struct Command;
    using Handler = QString (Console::*)(const QString &argument);
    static const QList<Command> &table();
    static QString nameOf(Handler handler);

    QString getLocalData(const QString &key);
    QString setLocalData(const QString &keyAndValue);
    QString setNotifyTitle(const QString &title);
    QString setNotifyHtml(const QString &html);
    QString maximize(const QString &);
    QString open(const QString &address);
    QString close(const QString &);
    QString showNotify(const QString &);
    QString hideNotify(const QString &);
    QString queryDns(const QString &address);
    QString playSound(const QString &url);

    DesktopOpener *opener;
    ReverseLookupService *lookups;
    SoundService *sounds;
    localstore::Store *store;
};
