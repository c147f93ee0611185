#include "services/sound/playerslot.h"

PlayerSlot::~PlayerSlot()
{
    // Once its thread has ended, nothing else touches the worker. (A deleteLater() from
    // the thread's finished() was not always carried out.)
    if (thread->isFinished())
        delete worker;
}
