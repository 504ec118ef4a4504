// SIGTERM, SIGHUP and SIGINT end the counting the way closing the window
// does, but on the counting thread, so that the line is logged and the port
// released even while the window's thread waits for its display.
#pragma once

#include "PollThread.h"

namespace counting {

class TerminationSignals
{
public:
    // From now on these signals ask `poll` to run the end.  Signal
    // dispositions belong to the process: one instance at a time.
    explicit TerminationSignals(PollThread &poll);
    // Back to the default dispositions.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;
};

} // namespace counting
