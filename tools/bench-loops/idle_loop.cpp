// bench-idle-loop: the benchmark's idle floor.  It only wakes every 20 ms and
// reads its timerfd, the least any program with a 20 ms poll must do, until
// SIGTERM.  It opens no port.
#include "Tick.h"

int main()
{
    benchloop::StopOnSigterm();
    const int ticks = benchloop::StartTicks("bench-idle-loop");
    if (ticks < 0)
        return 1;
    while (benchloop::NextTick(ticks)) {
    }
    ::close(ticks);
    return 0;
}
