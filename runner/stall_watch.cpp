#include "stall_watch.h"

#include <sys/prctl.h>
#include <unistd.h>

#include "clock.h"
#include "virtual_chip.h"

StallWatch::StallWatch() : thread([this] { watch(); }) {}

StallWatch::~StallWatch() {
    stopping = true;
    thread.join();
}

void StallWatch::watch() {
    prctl(PR_SET_TIMERSLACK, 1UL);
    const Nanos step = 1000000, unremarkable = 1000000;
    // The scheduler's count is read only after a late wake-up: the waits of
    // the punctual ones since are taken off too, so lost time is never
    // overstated.
    Nanos queued = runQueueNanos();
    while (!stopping) {
        Nanos start = monotonicNanos();
        usleep(step / 1000);
        Nanos late = monotonicNanos() - start - step;
        if (late <= unremarkable) continue;
        Nanos queuedNow = runQueueNanos();
        late -= queuedNow - queued;
        queued = queuedNow;
        if (late > unremarkable) lostNanos += late;
    }
}
