// Gives the memory that the program has freed back to the system once its work has been quiet
// for a while. The C library keeps what a burst of commands, sounds or look-ups freed for the
// next burst; over a long shift the program would otherwise go on holding its busiest moment's
// memory.
#pragma once

namespace memorytrim {

// Says that a piece of work has ended (GUI thread only). Once none has ended for a few seconds,
// the freed memory is given back, on a thread of the pool.
void workEnded();

} // namespace memorytrim
