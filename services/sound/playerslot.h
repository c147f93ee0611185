// One player thread, seen from the GUI thread.
#pragma once

#include "services/sound/playerworker.h"
#include "services/sound/soundthread.h"

#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

class PlayerSlot : public QObject
{
public:
    ~PlayerSlot() override;

    QThread *thread = new QThread(this);
    PlayerWorker *worker = new PlayerWorker;
    QTimer *deadline = new QTimer(this);
    QPointer<SoundThread> sound;
    bool busy = false;
};
