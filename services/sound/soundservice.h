// The queues and shared objects behind every SoundThread. GUI thread only.
#pragma once

#include "services/sound/soundthread.h"

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QThread>
#include <QTimer>

class PlayerSlot;

class SoundService : public QObject
{
public:
    static SoundService *instance();

    explicit SoundService(QObject *parent);
    ~SoundService() override;

    // Every fetch runs on this thread, with this network manager.
    // Not a child: the children are the player slots.
    QThread *fetchThread = new QThread;
    QNetworkAccessManager *network = new QNetworkAccessManager;
    QHash<QString, SoundThread *> fetches; // queued or under way, by file
    QQueue<QPointer<SoundThread>> fetchQueue;
    QQueue<QPointer<SoundThread>> playQueue;
    int downloading = 0;
    bool startingFetches = false;

    void startFetches();
    void startPlays();
    void failQueuedPlays();

private:
    PlayerSlot *idlePlayer();
    void begin(PlayerSlot *slot, SoundThread *sound);
    void end(PlayerSlot *slot, bool ok);

    // Gives up a player that missed its deadline: its thread is left to end
    // in its own time, and a fresh player takes its place.
    void abandon(PlayerSlot *slot);

    QList<PlayerSlot *> players;
    int abandoned = 0;
    QTimer noPlayer;
};
