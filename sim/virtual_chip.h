// A virtual chip on the master side of a pseudo-terminal.
#pragma once

#include <functional>

#include "rom_loader.h"

// Serves one session on the master side: from the first byte the host sends
// until the host closes the port, the chip hangs up, or stopFd (when not -1)
// becomes readable, which is left for the caller to drain. On a hang-up the
// master is closed and masterFd becomes -1. settled (if given) is called
// once the port is as a host will find it: stale input left in it.
void serveSession(int &masterFd, const ChipOptions &options, ChipSession &session, int stopFd,
                  const std::function<void()> &settled = nullptr);

// What the scheduler counts as this thread's time waiting on a run queue
// so far; 0 where the system does not say.
Nanos runQueueNanos();
