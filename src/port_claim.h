// Taking the open port for one run alone, and handing back what the run
// changed outside the port's settings, however the run ends. One
// implementation a system (port_claim_posix.cpp, port_claim_windows.cpp).
#pragma once

#include <cstdint>

enum PortClaim {
    portClaimed,
    portHeldElsewhere,  // another program has taken it
    portNotClaimed,     // the system refused for another reason, which it gives
};

// Takes the open port, given by the system's handle for it.
PortClaim claimPort(intptr_t portHandle);

// USB adapters may hold received bytes for up to 16 ms; with one verdict byte
// a line, that wait would dominate the load. Asks the driver to pass bytes on
// at once, where it can.
void askForLowLatency();

// Puts the driver's latency back and gives the port up. Safe in a signal
// handler; runs at exit and on every signal that would end the process.
void releasePort();
