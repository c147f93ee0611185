// The script bridge: webkitExternal.command(text) in the console page.
//
// The page's contract is synchronous: every call returns its result at once.
// Every result but that of getlocaldata is fixed by the command's name, so the
// page answers those itself and hands the commands to the shell on one ordered,
// asynchronous channel, those of one script task together when it ends; getlocaldata is answered
// from a copy of the store that the page receives when its document is created and that the shell
// keeps up to date. The reference path (Mode::Synchronous) sends every call as a synchronous
// request on the custom scheme instead and waits for the shell's answer; it behaves the same and
// serves as the yardstick.
//
// Only the console's origin is served: other sites, frames of other origins and
// the pop-up get neither the object nor an answer.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QWebEngineUrlSchemeHandler>

#include <functional>

class QWebChannel;
class QWebEnginePage;
class QWebEngineProfile;

namespace localstore {
class Watcher;
}

namespace bridge {

// The scheme's name. Registered by registerScheme() before the application
// object exists, as the web engine requires.
QByteArray schemeName();
void registerScheme();

// Reply bodies tell a null result ("0") from a string ("1" + text).
QByteArray encodeResult(const QString &result);

enum class Mode { Channel, Synchronous };

using CommandFunction = std::function<QString(const QString &)>;
using LinkFunction = std::function<void(const QUrl &)>;

class SchemeHandler : public QWebEngineUrlSchemeHandler
{
    Q_OBJECT
public:
    SchemeHandler(const QString &origin, CommandFunction command, LinkFunction linkActivated,
                  QObject *parent);

    void requestStarted(QWebEngineUrlRequestJob *job) override;

private:
    QString origin;
    CommandFunction command;
    LinkFunction linkActivated;
};

// Receives the commands that the page sends on the channel, in order.
class ChannelReceiver : public QObject
{
    Q_OBJECT
public:
    ChannelReceiver(CommandFunction command, QObject *parent);

    // The document that sent the last command, and that command's number.
    QString lastDocument;
    double lastSequence = 0;

public slots:
    // document: the sending document's id; sequence: the number of the last
    // of the texts in that document; texts: command texts in the order sent.
    void deliver(const QString &document, double sequence, const QStringList &texts);

private:
    CommandFunction command;
};

class Bridge : public QObject
{
    Q_OBJECT
public:
    Bridge(QWebEnginePage *page, const QString &origin, Mode mode, CommandFunction command,
           LinkFunction linkActivated, QObject *parent);

private:
    void storeChanged();

    QWebEnginePage *page;
    QString origin;
    QString updateEvent;
    ChannelReceiver *receiver = nullptr;
    QWebChannel *channel = nullptr;
    localstore::Watcher *watcher = nullptr;
    QHash<QString, QString> known;
};

} // namespace bridge
