// One player thread and its worker, seen from the GUI thread: the sound it plays, its log lines,
// and the deadline after which the player is given up.
#pragma once

#include "services/sound/soundjob.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>
#include <QTimer>

class PlayerSlot : public QObject
{
    Q_OBJECT
public:
    // Starts the thread.
    explicit PlayerSlot(QObject *parent);

    bool isBusy() const { return busy; }
    void play(const SoundJob &next);

    // Ending the thread, for the owner's destruction: waitThread() is false when the thread
    // has not ended in time (stuck in the media pipeline); the slot must then be left whole.
    void quitThread() { thread.quit(); }
    bool waitThread(QDeadlineTimer patience) { return thread.wait(patience); }

signals:
    void ended(const QString &url, bool played);
    // The deadline passed: the slot takes no more sounds, and its thread is asked to end;
    // released() follows once it has, and the slot then deletes itself.
    void abandoned();
    void released();
    // To the worker, on its thread.
    void playRequested(const QString &path);

private:
    void onOpened();
    void onLength(qint64 durationMs);
    void onEnded(bool ok);
    void abandon();

    QThread thread;
    QTimer deadline;
    SoundJob job;
    bool busy = false;
    bool opened = false; // the worker found the job's file to be this user's own
};
